// Cross-checks of GInt against GMP, shared by the differential test and the
// differential fuzz target. GMP is the oracle here only; the program itself
// never links it.
//
// Every check returns an empty string when GInt agrees with GMP and a
// description of the disagreement otherwise, so that a test can report it and
// a fuzz target can abort on it.
#pragma once

#include "bignum/GInt.h"
#include "tests/support/chaincheck.h"

#include <gmp.h>

#include <string>
#include <vector>

namespace GmpCheck {

// Owns one GMP integer.
class Mpz {
public:
    Mpz() { mpz_init(v); }
    explicit Mpz(long value) { mpz_init_set_si(v, value); }
    Mpz(const Mpz& other) { mpz_init_set(v, other.v); }
    Mpz& operator=(const Mpz& other)
    {
        mpz_set(v, other.v);
        return *this;
    }
    ~Mpz() { mpz_clear(v); }

    std::string text() const;

    mpz_t v;
};

// A textbook RSA key made by GMP: p and q are the next primes above pStart and
// qStart (q moves on once more when they meet), e is the first value from
// eStart up that shares no factor with (p-1)(q-1), and d is its inverse.
struct TextbookKey {
    Mpz n, e, d;
};
TextbookKey MakeTextbookKey(unsigned long pStart, unsigned long qStart, unsigned long eStart);

using ChainCheck::ChainDefect;
using ChainCheck::Snapshot;

// The value of a sound chain.
Mpz ValueOf(GInt::Num n);

// A fresh number holding value; negativeZero makes a zero carry a negative Sign.
GInt::OwnedNum MakeNum(const Mpz& value, bool negativeZero = false);

// The snapshot of n, to show later that an operation left it alone.
inline Snapshot Take(GInt::Num n) { return Snapshot(n); }

enum class Op {
    Add,
    Sub,
    Mul,
    Square,
    DivMod,
    Mod,
    Gcd,
    MulMod,
    SquareMod,
    PowerMod,
    InverseMod,
    Count
};
const char* OpName(Op op);

// Runs op on the operands (b is the divisor or second factor, c the modulus
// of MulMod and PowerMod, whose exponent is b) and compares the result with
// GMP under the program's rules:
//  - results are sound chains in normal form; operands are left exactly as
//    they were, also when op raises;
//  - DivModNum: a = q*b + r, 0 <= r < |b|; q = sign(b)*floor(|a|/|b|) for
//    a >= 0, q = -sign(b)*ceil(|a|/|b|) for a < 0; ModNum gives the same r;
//  - GcdNum: |g| = gcd(|a|, |b|), the sign of g is free;
//  - PowerMod: 1 when the exponent is zero, else a^|e| mod |m|;
//    MulMod and SquareMod reduce into 0..|m|-1;
//  - InverseMod: when gcd(|a|, |m|) is not 1, x is left as it was; otherwise
//    a*x = 1 (mod |m|), and x lies in 1..m-1 for a > 0 and m > 1;
//  - a zero divisor or modulus raises GInt::EDivByZero with no result made
//    (PowerMod with a zero exponent may answer 1 instead: it never reduces).
// Signs of zero results are not checked: zero may carry either sign.
std::string CheckOp(Op op, GInt::Num a, GInt::Num b, GInt::Num c);

} // namespace GmpCheck
