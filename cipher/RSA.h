// Line cipher: a line becomes a bit string through a fixed substitution of the
// 256 byte values, gets the marker "111" in front, and is encrypted block by
// block under RSA. The substitution, the marker and the block lengths are the
// wire format peers rely on.
#pragma once

#include "bignum/GInt.h"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace RSA {

// Entry b holds the eight-character pattern that codes byte b.
using BitTable = std::array<std::string, 256>;

// Raised for a modulus too small to cut blocks from, or a chunk that decrypts without the marker.
class ECipherError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The byte an eight-character pattern codes ('0' is a zero digit, anything else a one).
uint8_t BitsToByte(std::string_view pattern);
// Fills every entry of `table`.
void BuildBitTable(BitTable& table);
// Eight pattern characters per byte of `text`.
std::string TextToBits(std::string_view text);
// One byte per eight characters, after padding `bits` with leading zeros.
std::string BitsToText(std::string_view bits);
// The ciphertext of `line` under (exponent, modulus).
std::string EncryptLine(std::string_view line, GInt::Num exponent, GInt::Num modulus);
// The line a chunk decrypts to under (exponent, modulus).
std::string DecryptLine(std::string_view chunk, GInt::Num exponent, GInt::Num modulus);

} // namespace RSA
