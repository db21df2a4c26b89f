// Signed integers of any length: a doubly linked chain of base-10000 digit
// nodes, designated by its least significant (bottom) node, whose Sign is the
// sign of the number.
//
// Ownership: every operation that yields a number through an out-parameter
// allocates a fresh chain, which the caller releases with FreeNum. An
// out-parameter is overwritten, never released first. In-place operations keep
// the bottom node. Zero may carry either sign; tests for zero compare
// magnitudes. Numbers are in normal form (no zero top node unless the number
// is a single node) when their operands are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace GInt {

// One base-10000 digit. Sign is meaningful in the bottom node only: 1 for a
// non-negative number, 0 for a negative one.
struct TDigitNode {
    uint8_t Sign;
    int32_t Digit;
    TDigitNode* Higher;
    TDigitNode* Lower;
};

using Num = TDigitNode*;

// The values of the bottom node's Sign. Negative zero (a zero whose Sign is
// kSignNegative) is a zero like any other; tests for zero compare magnitudes.
inline constexpr uint8_t kSignNonNegative = 1;
inline constexpr uint8_t kSignNegative = 0;

// True when n's Sign says negative (negative zero included).
inline bool IsNegative(Num n)
{
    return n->Sign == kSignNegative;
}

// The opposite Sign value: what NegateNum gives.
inline uint8_t NegatedSign(uint8_t sign)
{
    return sign == kSignNegative ? kSignNonNegative : kSignNegative;
}

// The bottom digit, |n| mod 10000. As 10000 is divisible by 2 and by 5, it
// alone decides whether n is odd and whether 5 divides it.
inline int32_t LowestDigit(Num n)
{
    return n->Digit;
}

// Adds delta to the bottom digit in place, for a caller that knows no carry
// or borrow arises (the digit stays in 0..9999); nothing else changes.
void AdjustLowestDigit(Num n, int32_t delta);
// Number of decimal digits of |n| (1 for zero): the length of NumToDecimal's text without a sign.
size_t DecimalLength(Num n);
// Number of binary digits of |n| (1 for zero): the length of NumToBinary's text.
size_t BinaryLength(Num n);

// Result of CompareAbs; callers test against these values.
enum TCompareResult : uint8_t { crGreater = 0, crLess = 1, crEqual = 2 };

// Raised by DecimalToNum for text it cannot convert.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raised by the divisions when the divisor is zero.
class EDivByZero : public std::runtime_error {
public:
    EDivByZero() : std::runtime_error("Division by zero") {}
};

// Converts decimal text (leading junk skipped, one optional '-') to a number; raises EConvertError.
void DecimalToNum(std::string_view text, Num& result);
// Writes n in decimal, with a leading '-' when its Sign is negative.
void NumToDecimal(std::string& result, Num n);
// Releases every node of the chain n points into; n is nullptr afterwards.
void FreeNum(Num& n);
// Makes a deep copy of n, zero top nodes included.
void CopyNum(Num n, Num& result);
// Divides the magnitude of n by ten in place, discarding the remainder.
void DivByTenInPlace(Num n);
// Compares the magnitudes of a and b (node count first, then digits).
TCompareResult CompareAbs(Num a, Num b);
// Flips the sign of n.
void NegateNum(Num n);
// Makes n non-negative.
void AbsNum(Num n);
// result := a + b.
void AddNum(Num a, Num b, Num& result);
// result := a - b; b is never changed, and a and b may be the same number
// (giving a zero with a's sign).
void SubNum(Num a, Num b, Num& result);
// |a| := |a| - |b| in place; requires CompareAbs(a, b) != crLess.
void SubAbsInPlace(Num a, Num b);
// result := a * b; a and b may be the same number.
void MulNum(Num a, Num b, Num& result);
// n := n * k in place (rule of signs, k = 0 counting as non-negative); meant
// for 1 <= |k| <= 10000.
void MulBySmallInPlace(Num n, int32_t k);
// result := a * a.
void SquareNum(Num a, Num& result);
// Small divisors: |d| >= 10000 returns at once without writing anything; a
// negative d divides by |d|; d == 0 raises EDivByZero.
// q := floor(|n| / d) (non-negative), r := |n| mod d.
void DivBySmall(Num n, Num& q, int32_t d, int32_t& r);
// |n| := floor(|n| / d) in place, sign and bottom node kept; r := |n| mod d.
void DivBySmallInPlace(Num& n, int32_t d, int32_t& r);
// r := |n| mod d.
void ModBySmall(Num n, int32_t d, int32_t& r);
// Euclidean division: a = q*b + r with 0 <= r < |b|; raises EDivByZero for b == 0.
// The quotient of a non-negative a carries b's sign (so 7 / -9 gives negative
// zero). a and b are left as found and may be the same number.
void DivModNum(Num a, Num b, Num& q, Num& r);
// r := a mod |b|, 0 <= r < |b|; raises EDivByZero for b == 0.
void ModNum(Num a, Num b, Num& r);
// r := a^2 mod |m|; raises EDivByZero for m == 0.
void SquareMod(Num a, Num m, Num& r);
// r := a*b mod |m|; raises EDivByZero for m == 0.
void MulMod(Num a, Num b, Num m, Num& r);
// r := a^|e| mod |m|, and 1 when e is zero (even for m = 0); EDivByZero for m == 0 otherwise.
void PowerMod(Num a, Num e, Num m, Num& r);
// g := gcd(|a|, |b|), with the sign rule of Euclid's algorithm by remainders.
void GcdNum(Num a, Num b, Num& g);
// x := the inverse of a modulo m (in 1..m-1 for m > 1); x is left
// untouched and nothing is allocated when gcd(a, m) is not 1. Inverting zero
// modulo 1 raises EDivByZero.
void InverseMod(Num a, Num m, Num& x);
// Writes the binary digits of |n|, most significant first ("0" for zero).
void NumToBinary(Num n, std::string& result);
// Reads binary digits (any character but '1' counts as 0) into a non-negative number.
void BinaryToNum(std::string_view text, Num& result);

// Sole owner of one number: releases it when destroyed or reset.
class OwnedNum {
public:
    OwnedNum() = default;
    explicit OwnedNum(Num n) : n_(n) {}
    OwnedNum(const OwnedNum&) = delete;
    OwnedNum& operator=(const OwnedNum&) = delete;
    OwnedNum(OwnedNum&& other) noexcept : n_(other.release()) {}
    OwnedNum& operator=(OwnedNum&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~OwnedNum() { FreeNum(n_); }

    Num get() const { return n_; }
    // The slot to pass as an out-parameter; must be empty.
    Num& out() { return n_; }
    Num release()
    {
        Num n = n_;
        n_ = nullptr;
        return n;
    }
    void reset(Num n = nullptr)
    {
        FreeNum(n_);
        n_ = n;
    }
    explicit operator bool() const { return n_ != nullptr; }

private:
    Num n_ = nullptr;
};

} // namespace GInt
