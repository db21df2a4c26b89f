// Internal to the GInt unit: the chain helpers its source files share. Not
// for use outside bignum/.
#pragma once

#include "bignum/GInt.h"
#include "bignum/limbs.h"

#include <cstddef>
#include <cstdint>

namespace GInt::detail {

// Builds a fresh chain holding digits[0..count) (least significant first,
// count >= 1) with the given sign; released again if an allocation fails.
Num BuildNum(const uint32_t* digits, size_t count, uint8_t sign);
Num BuildNum(const limbs::Limbs& digits, uint8_t sign);
// A fresh one-node number.
Num NewSmall(uint32_t value, uint8_t sign = kSignNonNegative);
// The digits of n exactly as stored, zero top nodes included.
limbs::Limbs ReadDigits(Num n);
// The magnitude of n with zero top nodes dropped.
limbs::Limbs ReadMagnitude(Num n);
// The most significant node of n's chain.
TDigitNode* TopOf(Num n);
// True for a single node holding 0 (either sign).
bool IsZeroNum(Num n);
// Quotient (when asked for) and remainder of the magnitudes of a by b, with the
// signs of Euclidean division: 0 <= r < |b|, q rounded so that a = q*b + r.
// Raises EDivByZero for b == 0.
void EuclideanDivide(Num a, Num b, limbs::Limbs* quotient, uint8_t& quotientSign, limbs::Limbs& remainder);

} // namespace GInt::detail
