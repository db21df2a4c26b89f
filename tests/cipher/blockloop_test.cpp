// The block loop of the line cipher against the chain-based loop it replaced,
// kept here as the reference: each block goes through BinaryToNum, PowerMod and
// NumToBinary. Keys are random, not made by key generation: moduli of 2 to
// 1,024 binary digits, odd and even, of either sign, exponents of any length
// (zero and negative included), so that hostile key messages are covered;
// chunks are random bytes. Outputs, and the errors, must be the same.
#include "cipher/RSA.h"
#include "tests/support/propertyseed.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

namespace {

using GInt::Num;
using GInt::OwnedNum;

std::string PadFront(std::string bits, size_t unit)
{
    bits.insert(0, (unit - bits.size() % unit) % unit, '0');
    return bits;
}

std::string WithoutLeadingZeros(const std::string& bits)
{
    const size_t first = bits.find('1');
    return first == std::string::npos ? std::string() : bits.substr(first);
}

std::string ReferenceBlocks(const std::string& bits, size_t inBits, size_t outBits, Num exponent, Num modulus)
{
    std::string result;
    for (size_t start = 0; start < bits.size(); start += inBits) {
        OwnedNum block, power;
        GInt::BinaryToNum(WithoutLeadingZeros(bits.substr(start, inBits)), block.out());
        GInt::PowerMod(block.get(), exponent, modulus, power.out());
        std::string digits;
        GInt::NumToBinary(power.get(), digits);
        result += PadFront(digits, outBits);
    }
    return result;
}

size_t ReferenceBlockBits(Num modulus)
{
    std::string bits;
    GInt::NumToBinary(modulus, bits);
    if (bits.size() < 2)
        throw RSA::ECipherError("The key's modulus is too small: it must have at least two binary digits");
    return bits.size();
}

std::string ReferenceEncrypt(std::string_view line, Num exponent, Num modulus)
{
    const size_t k = ReferenceBlockBits(modulus);
    const std::string plain = PadFront("111" + RSA::TextToBits(line), k - 1);
    return RSA::BitsToText(WithoutLeadingZeros(ReferenceBlocks(plain, k - 1, k, exponent, modulus)));
}

std::string ReferenceDecrypt(std::string_view chunk, Num exponent, Num modulus)
{
    const size_t k = ReferenceBlockBits(modulus);
    const std::string cipher = PadFront(WithoutLeadingZeros(RSA::TextToBits(chunk)), k);
    const std::string plain = ReferenceBlocks(cipher, k, k - 1, exponent, modulus);
    const size_t marker = plain.find("111");
    if (marker == std::string::npos)
        throw RSA::ECipherError("The received line cannot be decrypted");
    return RSA::BitsToText(plain.substr(marker + 3));
}

// The output of a call, or the message of the ECipherError it raised.
template <typename Call>
std::string Outcome(Call call)
{
    try {
        return "line: " + call();
    } catch (const RSA::ECipherError& error) {
        return std::string("error: ") + error.what();
    }
}

std::string RandomBytes(std::mt19937_64& random, size_t length)
{
    std::string bytes(length, '\0');
    const int kind = static_cast<int>(random() % 4); // any bytes, or mostly byte 1 (coded as zeros)
    for (char& c : bytes)
        c = static_cast<char>(kind == 0 && random() % 4 != 0 ? 1 : random() & 0xff);
    return bytes;
}

OwnedNum RandomNumber(std::mt19937_64& random, size_t bits)
{
    std::string text = bits ? "1" : "";
    for (size_t i = 1; i < bits; ++i)
        text.push_back(random() % 2 ? '1' : '0');
    OwnedNum n;
    GInt::BinaryToNum(text, n.out());
    if (random() % 8 == 0)
        GInt::NegateNum(n.get());
    return n;
}

TEST(BlockLoop, MatchesTheChainBasedLoopUnderRandomKeys)
{
    std::mt19937_64 random(PropertySeed("BlockLoop.MatchesTheChainBasedLoopUnderRandomKeys"));
    for (int i = 0; i < 120; ++i) {
        const size_t modulusBits = random() % 8 == 0 ? random() % 3 : 2 + random() % 1023;
        OwnedNum modulus = RandomNumber(random, modulusBits);
        if (modulusBits > 0 && GInt::LowestDigit(modulus.get()) % 2 != static_cast<int32_t>(i % 2))
            GInt::AdjustLowestDigit(modulus.get(), GInt::LowestDigit(modulus.get()) == 9999 ? -1 : 1);
        const OwnedNum exponent = RandomNumber(random, random() % 8 == 0 ? 0 : random() % (modulusBits + 2));
        const std::string line = RandomBytes(random, random() % 200);
        const std::string chunk = RandomBytes(random, random() % 300);
        const Num e = exponent.get();
        const Num n = modulus.get();
        SCOPED_TRACE("n = " + std::to_string(modulusBits) + " binary digits, case " + std::to_string(i));
        const std::string cipher = Outcome([&] { return RSA::EncryptLine(line, e, n); });
        EXPECT_EQ(cipher, Outcome([&] { return ReferenceEncrypt(line, e, n); }));
        EXPECT_EQ(Outcome([&] { return RSA::DecryptLine(chunk, e, n); }),
                  Outcome([&] { return ReferenceDecrypt(chunk, e, n); }));
        if (cipher.rfind("line: ", 0) == 0) {
            const std::string sent = cipher.substr(6);
            EXPECT_EQ(Outcome([&] { return RSA::DecryptLine(sent, e, n); }),
                      Outcome([&] { return ReferenceDecrypt(sent, e, n); }));
        }
    }
}

} // namespace
