// Binary digit text to number and back. Any text converts (every character
// but '1' counts as 0); the number's binary text is the input read that way
// without leading zeros, and converts back to the same number. The first
// input byte also picks a signed decimal number whose binary text must be the
// binary digits of its magnitude.
#include "bignum/GInt.h"
#include "tests/support/gmpcheck.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Fail(const std::string& what, std::string_view input)
{
    std::fprintf(stderr, "binary_fuzz: %s\n  input: %zu bytes\n", what.c_str(), input.size());
    std::abort();
}

// Binary text -> number -> binary text.
void CheckFromBinary(std::string_view text)
{
    std::string expected;
    for (const char c : text)
        expected += c == '1' ? '1' : '0';
    const size_t first = expected.find('1');
    expected = first == std::string::npos ? "0" : expected.substr(first);

    GInt::OwnedNum n;
    GInt::BinaryToNum(text, n.out());
    if (const std::string defect = GmpCheck::ChainDefect(n.get()); !defect.empty())
        Fail("BinaryToNum result: " + defect, text);
    if (n.get()->Sign != 1)
        Fail("BinaryToNum gave a negative sign", text);

    GmpCheck::Mpz value;
    mpz_set_str(value.v, expected.c_str(), 2);
    if (mpz_cmp(value.v, GmpCheck::ValueOf(n.get()).v) != 0)
        Fail("BinaryToNum gave " + GmpCheck::ValueOf(n.get()).text() + ", expected " + value.text(), text);

    std::string back;
    GInt::NumToBinary(n.get(), back);
    if (back != expected)
        Fail("NumToBinary wrote '" + back + "', expected '" + expected + "'", text);
}

// Signed decimal number -> binary text -> number.
void CheckFromNumber(std::string_view digits, bool negative, std::string_view input)
{
    std::string decimal = negative ? "-" : "";
    for (const char c : digits)
        decimal += static_cast<char>('0' + static_cast<uint8_t>(c) % 10);
    if (digits.empty())
        decimal += '0';

    GInt::OwnedNum n;
    GInt::DecimalToNum(decimal, n.out());
    const GmpCheck::Snapshot before = GmpCheck::Take(n.get());
    std::string binary;
    GInt::NumToBinary(n.get(), binary);
    if (!(GmpCheck::Take(n.get()) == before))
        Fail("NumToBinary changed its operand", input);

    GmpCheck::Mpz magnitude = GmpCheck::ValueOf(n.get());
    mpz_abs(magnitude.v, magnitude.v);
    std::unique_ptr<char, void (*)(void*)> expected(mpz_get_str(nullptr, 2, magnitude.v), [](void* p) {
        void (*release)(void*, size_t);
        mp_get_memory_functions(nullptr, nullptr, &release);
        release(p, 0);
    });
    if (binary != expected.get())
        Fail("NumToBinary(" + decimal + ") wrote '" + binary + "', expected '" + expected.get() + "'", input);

    GInt::OwnedNum back;
    GInt::BinaryToNum(binary, back.out());
    if (GInt::CompareAbs(back.get(), n.get()) != GInt::crEqual || GmpCheck::ChainDefect(back.get()) != "")
        Fail("binary round trip of " + decimal + " changed the magnitude", input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckFromBinary(input);
    if (size > 0)
        CheckFromNumber(input.substr(1, 400), data[0] & 1, input);
    return 0;
}
