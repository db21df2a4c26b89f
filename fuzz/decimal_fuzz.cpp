// Decimal text to number and back. Any text must either convert or raise
// EConvertError; what converts must be a sound chain in normal form whose
// decimal text is the canonical form of the input, and that text must convert
// back to the same number.
#include "bignum/GInt.h"
#include "tests/support/gmpcheck.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Fail(const std::string& what, std::string_view input)
{
    std::fprintf(stderr, "decimal_fuzz: %s\n  input (%zu bytes): '%.*s'\n", what.c_str(), input.size(),
                 static_cast<int>(input.size() > 200 ? 200 : input.size()), input.data());
    std::abort();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// What the conversion must give for `text`: the canonical decimal text, or
// false when the text holds no number. Leading characters are skipped up to
// the first '-' or digit; one '-' may follow; then only digits, at least one.
bool CanonicalText(std::string_view text, std::string& canonical)
{
    size_t i = 0;
    while (i < text.size() && text[i] != '-' && !IsDigit(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    const std::string_view digits = text.substr(i);
    if (digits.empty())
        return false;
    for (const char c : digits)
        if (!IsDigit(c))
            return false;
    const size_t firstNonZero = digits.find_first_not_of('0');
    canonical = negative ? "-" : "";
    canonical += firstNonZero == std::string_view::npos ? std::string_view("0") : digits.substr(firstNonZero);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string canonical;
    const bool valid = CanonicalText(input, canonical);

    GInt::OwnedNum n;
    try {
        GInt::DecimalToNum(input, n.out());
    } catch (const GInt::EConvertError& e) {
        if (n)
            Fail("EConvertError raised after a number was produced", input);
        if (valid)
            Fail(std::string("valid text refused: ") + e.what(), input);
        // The message quotes the refused group; what() ends at a NUL byte of it.
        const std::string_view message = e.what();
        const std::string_view tail = "' is not a valid integer value";
        const bool whole = input.find('\0') == std::string_view::npos;
        if (message.empty() || message.front() != '\''
            || (whole && (message.size() < tail.size() + 1 || message.substr(message.size() - tail.size()) != tail)))
            Fail("conversion error with an unexpected message: " + std::string(message), input);
        return 0;
    }
    if (!valid)
        Fail("text without a number was accepted", input);
    if (const std::string defect = GmpCheck::ChainDefect(n.get()); !defect.empty())
        Fail("result chain: " + defect, input);

    std::string text;
    GInt::NumToDecimal(text, n.get());
    if (text != canonical)
        Fail("written back as '" + text + "', expected '" + canonical + "'", input);

    // The value, checked independently of NumToDecimal.
    const GmpCheck::Mpz value = GmpCheck::ValueOf(n.get());
    const bool negative = canonical.front() == '-';
    std::string magnitude = value.text();
    if (magnitude.front() == '-')
        magnitude.erase(0, 1);
    if (magnitude != canonical.substr(negative ? 1 : 0))
        Fail("chain holds " + value.text() + ", expected '" + canonical + "'", input);
    if ((n.get()->Sign == 0) != negative)
        Fail("sign flag does not match the text", input);

    // Written text converts back to the same chain.
    GInt::OwnedNum again;
    GInt::DecimalToNum(text, again.out());
    if (GInt::CompareAbs(n.get(), again.get()) != GInt::crEqual || n.get()->Sign != again.get()->Sign)
        Fail("round trip through '" + text + "' changed the number", input);

    // A copy is a sound, equal chain of its own.
    GInt::OwnedNum copy;
    GInt::CopyNum(n.get(), copy.out());
    if (GmpCheck::ChainDefect(copy.get()) != "" || copy.get() == n.get()
        || GInt::CompareAbs(n.get(), copy.get()) != GInt::crEqual)
        Fail("CopyNum made an unequal copy", input);

    // Division by ten in place agrees with dropping the last digit.
    GInt::DivByTenInPlace(copy.get());
    if (const std::string defect = GmpCheck::ChainDefect(copy.get()); !defect.empty())
        Fail("DivByTenInPlace: " + defect, input);
    GmpCheck::Mpz tenth;
    mpz_tdiv_q_ui(tenth.v, value.v, 10);
    GmpCheck::Mpz got = GmpCheck::ValueOf(copy.get());
    mpz_abs(got.v, got.v);
    mpz_abs(tenth.v, tenth.v);
    if (mpz_cmp(got.v, tenth.v) != 0 || copy.get()->Sign != n.get()->Sign)
        Fail("DivByTenInPlace gave " + got.text(), input);
    return 0;
}
