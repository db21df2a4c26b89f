// Magnitude arithmetic on contiguous base-10000 digit arrays, least
// significant digit first. The chain operations of GInt copy their operands
// into these arrays, do the heavy work here and build the result chain once.
// Unless stated otherwise, inputs are trimmed (no zero top digit except for a
// lone zero) and never empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace GInt::limbs {

using Limbs = std::vector<uint32_t>;

inline constexpr uint32_t kBase = 10000;

// Drops zero top digits, keeping at least one digit.
void Trim(Limbs& x);
// True when every digit is zero (untrimmed input allowed).
bool IsZero(const Limbs& x);
// Orders by digit count first, then digits from the top (untrimmed allowed):
// negative, zero or positive as x is below, equal to or above y.
int CompareByLength(const Limbs& x, const Limbs& y);
// x + y, with max(len) digits plus one for a final carry (untrimmed allowed).
Limbs AddDigits(const Limbs& x, const Limbs& y);
// x - y digit by digit over x's length; requires CompareByLength(x, y) >= 0.
Limbs SubtractDigits(const Limbs& x, const Limbs& y);
// x := x + k for k < kBase.
void AddSmall(Limbs& x, uint32_t k);
// out[0..na+nb) := a * b (schoolbook); out must not overlap a or b.
void Multiply(const uint32_t* a, size_t na, const uint32_t* b, size_t nb, uint32_t* out);
// x := floor(x / d), returning x mod d; 1 <= d < kBase; x keeps its length.
uint32_t DivSmallInPlace(Limbs& x, uint32_t d);
// q := floor(a / b), r := a mod b for b != 0 (Knuth's long division); q may be null.
void DivMod(const Limbs& a, const Limbs& b, Limbs* q, Limbs& r);
// Binary digits of x, most significant first, "0" for zero.
std::string ToBinary(const Limbs& x);
// The value of a text of binary digits; every character but '1' counts as 0.
Limbs FromBinary(std::string_view text);

} // namespace GInt::limbs
