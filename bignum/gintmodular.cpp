// The modular operations of GInt: products and powers reduced by a modulus,
// greatest common divisor and modular inverse.
#include "bignum/GInt.h"

#include "bignum/gint_p.h"
#include "bignum/montgomery.h"
#include "bignum/words.h"

#include <utility>

namespace GInt {

using limbs::Limbs;
using namespace detail;

void SquareMod(Num a, Num m, Num& r)
{
    OwnedNum square;
    SquareNum(a, square.out());
    ModNum(square.get(), m, r);
}

void MulMod(Num a, Num b, Num m, Num& r)
{
    OwnedNum product;
    MulNum(a, b, product.out());
    ModNum(product.get(), m, r);
}

// A zero exponent gives 1 without any reduction, whatever m is; |m| = 1 gives
// 0. Otherwise the base is reduced to its Euclidean remainder (so negative
// bases and bases above |m| land in 0..|m|-1) and the power runs on 64-bit
// words: Montgomery multiplication for an odd |m|, and for an even one the
// same joined with the power modulo m's factor 2^t. Only the result becomes a
// chain.
void PowerMod(Num a, Num e, Num m, Num& r)
{
    const Limbs exponent = ReadMagnitude(e);
    if (limbs::IsZero(exponent)) {
        r = NewSmall(1);
        return;
    }
    const Limbs modulus = ReadMagnitude(m);
    if (limbs::IsZero(modulus))
        throw EDivByZero();

    Limbs base;
    uint8_t unusedSign = kSignNonNegative;
    EuclideanDivide(a, m, nullptr, unusedSign, base);
    if (modulus.size() == 1 && modulus[0] == 1) {
        r = NewSmall(0);
        return;
    }
    const words::Words modulusWords = words::FromDigits(modulus);
    const words::Words baseWords = words::FromDigits(base);
    const words::Words exponentWords = words::FromDigits(exponent);
    const words::Words power = modulus[0] % 2 == 0
        ? montgomery::PowerEvenModulus(baseWords, exponentWords, modulusWords)
        : montgomery::OddModulus(modulusWords).Power(baseWords, exponentWords);
    r = BuildNum(words::ToDigits(power), kSignNonNegative);
}

// Euclid by remainders. The result's sign is that of the number the loop ends
// on: a copy of a for equal magnitudes, the larger operand when the smaller is
// zero, the smaller when it divides the larger, else a (non-negative) remainder.
void GcdNum(Num a, Num b, Num& g)
{
    const TCompareResult order = CompareAbs(a, b);
    if (order == crEqual) {
        CopyNum(a, g);
        return;
    }
    if (order == crLess)
        std::swap(a, b);
    OwnedNum x;
    OwnedNum y;
    CopyNum(a, x.out());
    CopyNum(b, y.out());
    while (!IsZeroNum(y.get())) {
        OwnedNum t;
        ModNum(x.get(), y.get(), t.out());
        x = std::move(y);
        y = std::move(t);
    }
    g = x.release();
}

// Extended Euclid keeping only the coefficient of a: r0 = x*a and r1 = t1*a
// (mod m) throughout. x is written only when an inverse exists. When the
// sequence ends on -1 (a = -1 and |m| > 1, or a itself a unit), the coefficient
// is negated so that a*x = +1 (mod m).
void InverseMod(Num a, Num m, Num& x)
{
    OwnedNum gcd;
    GcdNum(a, m, gcd.out());
    const Limbs gcdMagnitude = ReadMagnitude(gcd.get());
    if (gcdMagnitude.size() != 1 || gcdMagnitude[0] != 1)
        return;

    OwnedNum r0;
    OwnedNum r1;
    CopyNum(m, r0.out());
    CopyNum(a, r1.out());
    OwnedNum older(NewSmall(0));
    OwnedNum newer(NewSmall(1));
    do {
        OwnedNum q;
        OwnedNum rest;
        DivModNum(r0.get(), r1.get(), q.out(), rest.out());
        r0 = std::move(r1);
        r1 = std::move(rest);
        OwnedNum product;
        MulNum(newer.get(), q.get(), product.out());
        OwnedNum next;
        SubNum(older.get(), product.get(), next.out());
        older = std::move(newer);
        newer = std::move(next);
    } while (!IsZeroNum(r1.get()));

    if (IsNegative(r0.get()))
        NegateNum(older.get());
    if (IsNegative(older.get())) {
        OwnedNum lifted;
        AddNum(m, older.get(), lifted.out());
        older = std::move(lifted);
    }
    x = older.release();
}

} // namespace GInt
