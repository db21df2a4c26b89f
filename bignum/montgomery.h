// Modular power for odd moduli by Montgomery multiplication on 64-bit words.
// Numbers here are magnitudes held as words of 64 bits, least significant
// first, trimmed (no zero top word except for a lone zero). The chain
// operations and the line cipher convert to words once per call (or once per
// block, straight from bit text), do the whole power here and convert back.
#pragma once

#include "bignum/limbs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace GInt::montgomery {

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
// x := x - y; requires x >= y. x keeps its length until trimmed.
void SubtractInPlace(Words& x, const Words& y);

// An odd modulus m >= 3 of n words prepared for Montgomery arithmetic with
// R = 2^(64n): -m^-1 mod 2^64 (Newton's iteration) and R^2 mod m (from
// R mod m by doubling, then squaring in Montgomery form).
class OddModulus {
public:
    explicit OddModulus(Words modulus);

    const Words& value() const { return modulus_; }

    // base^exponent mod m for base < m; 1 for a zero exponent.
    //
    // Multiplication is CIOS (coarsely integrated operand scanning: one row of
    // the product and one word of reduction per step, final conditional
    // subtraction), with the word count fixed at compile time up to 16 words
    // (1,024 bits) so that the loops unroll, and a run-time count above that.
    //
    // The exponent is scanned from the top with a sliding window of w bits over
    // the odd powers base^1, base^3, ..., base^(2^w - 1): w grows with the
    // exponent (1 up to 8 bits, 4 around 200 bits, 5 up to 672, 6 beyond),
    // where the 2^(w-1) table multiplications stop paying for the ~bits/(w+1)
    // multiplications they save.
    Words Power(const Words& base, const Words& exponent) const;

private:
    Words modulus_;
    Word inverse_ = 0;    // -m^-1 mod 2^64
    Words rSquared_;      // R^2 mod m, n words
};

// base^exponent mod m for an even m >= 2 and base < m; 1 for a zero exponent.
// With m = 2^t * q, q odd, the power modulo 2^t (square-and-multiply on
// products cut to t bits) and the power modulo q (OddModulus, when q > 1) are
// joined by the Chinese remainder theorem: x = x_q + q * ((x_2 - x_q) * q^-1
// mod 2^t), where q^-1 mod 2^t comes from Newton's iteration.
Words PowerEvenModulus(const Words& base, const Words& exponent, const Words& modulus);

} // namespace GInt::montgomery
