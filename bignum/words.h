// Magnitudes held as 64-bit words, least significant first, trimmed (no zero
// top word except for a lone zero), and their conversions. The modular power
// (bignum/montgomery.h) works on them; PowerMod converts from and to the
// base-10000 digits of a chain once per call, the line cipher from and to bit
// text once per block.
#pragma once

#include "bignum/limbs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace GInt::words {

inline constexpr size_t kWordBits = 64;

using Word = uint64_t;
using Words = std::vector<Word>;

// Base-10000 digits (least significant first, untrimmed allowed) as words.
// Four digits at a time form a group below 10^16, folded in by Horner's scheme
// with one 64x64-bit multiply-add per word and group: 20 groups over at most
// 16 words at 1,024 bits, well under a microsecond (bench/bignum_bench.cpp).
Words FromDigits(const limbs::Limbs& digits);
// Words as trimmed base-10000 digits. Repeated division of the word array by
// 10^8, taken in 32-bit halves so that every step is a 64-bit division by a
// constant (a multiply and a shift); eight decimal digits per pass.
limbs::Limbs ToDigits(const Words& x);
// The value of a text of binary digits, most significant first; every
// character but '1' counts as 0. Sixty-four characters per word.
Words FromBits(std::string_view bits);
// Number of binary digits of x; 0 for zero.
size_t BitLength(const Words& x);
// Appends the binary digits of x ("0" for zero), with '0' put in front up to
// the next multiple of `unit` (unit >= 1) characters.
void AppendBits(const Words& x, size_t unit, std::string& out);
// Negative, zero or positive as x is below, equal to or above y.
int Compare(const Words& x, const Words& y);
// x := x - y, trimmed; requires x >= y.
void SubtractInPlace(Words& x, const Words& y);

// Drops zero top words, keeping at least one word.
void Trim(Words& x);
// Bit `position` of x (0 is the least significant); position < 64 * x.size().
bool BitAt(const Words& x, size_t position);

} // namespace GInt::words
