// The byte code both ways: every byte string survives TextToBits and
// BitsToText unchanged, and every bit string comes back from BitsToText and
// TextToBits padded in front with '0' to a whole number of bytes (any
// character other than '0' reads as a one digit).
#include "cipher/RSA.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Fail(const char* what, size_t size)
{
    std::fprintf(stderr, "bits_fuzz: %s (input of %zu bytes)\n", what, size);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // Bytes -> bits -> bytes.
    const std::string bits = RSA::TextToBits(input);
    if (bits.size() != 8 * size)
        Fail("TextToBits is not eight characters per byte", size);
    if (bits.find_first_not_of("01") != std::string::npos)
        Fail("TextToBits wrote a character other than 0 and 1", size);
    if (RSA::BitsToText(bits) != input)
        Fail("BitsToText(TextToBits(t)) differs from t", size);
    for (size_t i = 0; i < size; ++i)
        if (RSA::BitsToByte(std::string_view(bits).substr(8 * i, 8)) != data[i])
            Fail("a pattern does not decode to the byte it codes", size);

    // The input read as a bit string -> bytes -> bits.
    std::string expected(input);
    for (char& c : expected)
        c = c == '0' ? '0' : '1';
    expected.insert(0, (8 - expected.size() % 8) % 8, '0');
    const std::string text = RSA::BitsToText(input);
    if (text.size() != (size + 7) / 8)
        Fail("BitsToText is not one byte per eight characters", size);
    if (RSA::TextToBits(text) != expected)
        Fail("TextToBits(BitsToText(s)) is not s padded to whole bytes", size);
    return 0;
}
