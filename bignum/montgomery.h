// Modular power by Montgomery multiplication on 64-bit words (bignum/words.h):
// for an odd modulus directly, for an even one joined with the power modulo
// the modulus' factor 2^t.
#pragma once

#include "bignum/words.h"

namespace GInt::montgomery {

using words::Word;
using words::Words;

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
