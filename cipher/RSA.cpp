// Line cipher: the line-message format (cipher/bytecode.h) written and read
// with the program's own arithmetic.
//
// Decryption drops the leading zeros of the chunk's digits, pads them in
// front to a multiple of k, decrypts each k-digit block into k-1 digits, and
// takes everything after the first marker as the line's digits.
#include "cipher/RSA.h"

#include "cipher/bytecode.h"

#include "bignum/montgomery.h"
#include "bignum/words.h"

#include <algorithm>
#include <optional>

namespace RSA {

namespace {

using GInt::Num;

const BitTable& SharedBitTable()
{
    static const BitTable table = [] {
        BitTable built;
        BuildBitTable(built);
        return built;
    }();
    return table;
}

// Puts '0' in front of `bits` until its length is a multiple of `unit`.
std::string PadFront(std::string_view bits, size_t unit)
{
    const size_t pad = (unit - bits.size() % unit) % unit;
    std::string padded(pad, '0');
    padded.append(bits);
    return padded;
}

// The part of `bits` from its first '1' on (empty when there is none).
std::string_view WithoutLeadingZeros(std::string_view bits)
{
    const size_t first = bits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : bits.substr(first);
}

// The binary digits of the modulus' magnitude; refuses a modulus too small to
// cut blocks of at least one digit from.
std::string ModulusBits(Num modulus)
{
    std::string binary;
    GInt::NumToBinary(modulus, binary);
    if (binary.size() < 2)
        throw ECipherError("The key's modulus is too small: it must have at least two binary digits");
    return binary;
}

// Cuts `bits` (a multiple of `inBits` long) into blocks, raises each block to
// `exponent` modulo `modulus`, and writes each result padded in front to a
// multiple of `outBits` digits. Blocks go from bit text straight to 64-bit
// words and back; an odd modulus is prepared for Montgomery arithmetic once
// per line. A block of k digits may reach the modulus (k is its length), never
// twice it, so one subtraction brings it below.
std::string TransformBlocks(std::string_view bits, size_t inBits, size_t outBits, Num exponent,
                            const std::string& modulusBits)
{
    namespace mont = GInt::montgomery;
    namespace words = GInt::words;
    const words::Words modulus = words::FromBits(modulusBits);
    std::optional<mont::OddModulus> odd;
    if (modulusBits.back() == '1')
        odd.emplace(modulus);
    std::string exponentBits;
    GInt::NumToBinary(exponent, exponentBits);
    const words::Words power = words::FromBits(exponentBits);
    std::string result;
    result.reserve(bits.size() / inBits * outBits);
    for (size_t start = 0; start < bits.size(); start += inBits) {
        words::Words block = words::FromBits(bits.substr(start, inBits));
        while (words::Compare(block, modulus) >= 0)
            words::SubtractInPlace(block, modulus);
        words::AppendBits(odd ? odd->Power(block, power) : mont::PowerEvenModulus(block, power, modulus), outBits,
                          result);
    }
    return result;
}

} // namespace

uint8_t BitsToByte(std::string_view pattern)
{
    unsigned value = 0;
    for (size_t i = 0; i < 8; ++i)
        value = value << 1 | (i < pattern.size() && pattern[i] != '0' ? 1u : 0u);
    return ByteOfPattern[value];
}

void BuildBitTable(BitTable& table)
{
    for (unsigned value = 0; value < 256; ++value) {
        std::string pattern(8, '0');
        for (unsigned i = 0; i < 8; ++i)
            if (value & (0x80u >> i))
                pattern[i] = '1';
        table[BitsToByte(pattern)] = pattern;
    }
}

std::string TextToBits(std::string_view text)
{
    const BitTable& table = SharedBitTable();
    std::string bits;
    bits.reserve(text.size() * 8);
    for (const char c : text)
        bits += table[static_cast<uint8_t>(c)];
    return bits;
}

std::string BitsToText(std::string_view bits)
{
    const std::string padded = PadFront(bits, 8);
    std::string text;
    text.reserve(padded.size() / 8);
    for (size_t start = 0; start < padded.size(); start += 8)
        text += static_cast<char>(BitsToByte(std::string_view(padded).substr(start, 8)));
    return text;
}

std::string EncryptLine(std::string_view line, Num exponent, Num modulus)
{
    const std::string modulusBits = ModulusBits(modulus);
    const size_t k = modulusBits.size();
    const std::string plain = PadFront(std::string(MarkerDigits, '1') + TextToBits(line), k - 1);
    const std::string cipher = TransformBlocks(plain, k - 1, k, exponent, modulusBits);
    return BitsToText(WithoutLeadingZeros(cipher));
}

std::string DecryptLine(std::string_view chunk, Num exponent, Num modulus)
{
    const std::string modulusBits = ModulusBits(modulus);
    const size_t k = modulusBits.size();
    const std::string cipher = PadFront(WithoutLeadingZeros(TextToBits(chunk)), k);
    const std::string plain = TransformBlocks(cipher, k, k - 1, exponent, modulusBits);
    const size_t marker = plain.find(std::string(MarkerDigits, '1'));
    if (marker == std::string::npos)
        throw ECipherError("The received line cannot be decrypted");
    return BitsToText(std::string_view(plain).substr(marker + MarkerDigits));
}

} // namespace RSA
