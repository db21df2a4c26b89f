// Seeded random cross-check of the signed big-number operations against GMP.
// The seed is printed; VELMORA_DIFF_SEED=<n> repeats a run, and
// VELMORA_DIFF_SCALE=<percent> shrinks or grows the number of operations
// (memcheck runs use a small scale).
#include "tests/bignum/differential/gmpcheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

namespace {

using GmpCheck::Mpz;
using GmpCheck::Op;

uint64_t RunSeed()
{
    static const uint64_t seed = [] {
        if (const char* text = std::getenv("VELMORA_DIFF_SEED"))
            return static_cast<uint64_t>(std::strtoull(text, nullptr, 10));
        return (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    }();
    return seed;
}

int Scaled(int count)
{
    long percent = 100;
    if (const char* text = std::getenv("VELMORA_DIFF_SCALE"))
        percent = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::max(1L, count * percent / 100));
}

long long& OperationsRun()
{
    static long long count = 0;
    return count;
}

// Draws operands that favour the places where base-10000 arithmetic breaks:
// zero of either sign, one, runs of 9999 digits, exact powers of 10000 and
// numbers one node longer than their partner.
class OperandSource {
public:
    explicit OperandSource(uint64_t seed) : rng_(seed) {}

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    // A value of up to maxDigits decimal digits, of either sign unless nonNegative.
    Mpz Value(int maxDigits, bool nonNegative = false)
    {
        maxDigits = std::max(maxDigits, 1);
        Mpz v;
        switch (Below(10)) {
        case 0: // 0, 1, small
            mpz_set_ui(v.v, static_cast<unsigned long>(Below(3)));
            break;
        case 1: { // 10000^k, off by one either way
            mpz_ui_pow_ui(v.v, 10000, static_cast<unsigned long>(Below(maxDigits / 4 + 1)));
            const int shift = Below(3) - 1;
            if (shift < 0 && mpz_sgn(v.v) > 0)
                mpz_sub_ui(v.v, v.v, 1);
            else if (shift > 0)
                mpz_add_ui(v.v, v.v, 1);
            break;
        }
        case 2: { // a run of nines, or of one repeated digit
            const int length = 1 + Below(maxDigits);
            const char digit = Below(2) ? '9' : static_cast<char>('1' + Below(9));
            mpz_set_str(v.v, std::string(static_cast<std::size_t>(length), digit).c_str(), 10);
            break;
        }
        default: { // uniform digits, length uniform
            const int length = 1 + Below(maxDigits);
            std::string digits;
            for (int i = 0; i < length; ++i)
                digits += static_cast<char>('0' + Below(10));
            mpz_set_str(v.v, digits.c_str(), 10);
            break;
        }
        }
        if (!nonNegative && Below(2))
            mpz_neg(v.v, v.v);
        return v;
    }

    // Zero sometimes comes with a negative Sign.
    GInt::OwnedNum Num(const Mpz& v) { return GmpCheck::MakeNum(v, Below(2) == 0); }

private:
    std::mt19937_64 rng_;
};

struct Limits {
    int count;
    int digitsA, digitsB, digitsC;
    bool positiveOnly = false;
    bool mayAlias = false; // the operation allows a and b to be one number
};

void RunDifferential(Op op, Limits limits)
{
    const uint64_t seed = RunSeed() ^ (static_cast<uint64_t>(op) * 0x9E3779B97F4A7C15ull);
    OperandSource source(seed);
    const int count = Scaled(limits.count);
    int failures = 0;
    for (int i = 0; i < count && failures < 10; ++i) {
        const bool positive = limits.positiveOnly && source.Below(4) != 0;
        GInt::OwnedNum a = source.Num(source.Value(limits.digitsA, positive));
        GInt::OwnedNum b = source.Num(source.Value(limits.digitsB, positive));
        GInt::OwnedNum c = source.Num(source.Value(limits.digitsC, positive));
        const bool alias = limits.mayAlias && source.Below(16) == 0;
        const std::string verdict = GmpCheck::CheckOp(op, a.get(), alias ? a.get() : b.get(), c.get());
        if (!verdict.empty()) {
            ++failures;
            ADD_FAILURE() << verdict << "\n  (VELMORA_DIFF_SEED=" << RunSeed() << ", operation " << i << ")";
        }
        ++OperationsRun();
    }
}

class Differential : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::cout << "VELMORA_DIFF_SEED=" << RunSeed() << std::endl; }
    static void TearDownTestSuite()
    {
        std::cout << "differential operations checked: " << OperationsRun() << std::endl;
    }
};

TEST_F(Differential, AddNum) { RunDifferential(Op::Add, {20000, 120, 120, 0}); }
TEST_F(Differential, SubNum) { RunDifferential(Op::Sub, {20000, 120, 120, 0}); }
TEST_F(Differential, MulNum) { RunDifferential(Op::Mul, {14000, 150, 150, 0, false, true}); }
TEST_F(Differential, SquareNum) { RunDifferential(Op::Square, {4000, 150, 0, 0}); }
TEST_F(Differential, DivModNum) { RunDifferential(Op::DivMod, {16000, 300, 150, 0, false, true}); }
TEST_F(Differential, ModNum) { RunDifferential(Op::Mod, {10000, 300, 150, 0, false, true}); }
TEST_F(Differential, GcdNum) { RunDifferential(Op::Gcd, {6000, 80, 80, 0}); }
TEST_F(Differential, MulMod) { RunDifferential(Op::MulMod, {4000, 120, 120, 100}); }
TEST_F(Differential, SquareMod) { RunDifferential(Op::SquareMod, {2000, 120, 100, 0}); }
TEST_F(Differential, PowerMod) { RunDifferential(Op::PowerMod, {2000, 100, 60, 100}); }
TEST_F(Differential, InverseMod) { RunDifferential(Op::InverseMod, {4000, 60, 60, 0, true}); }

// Long division corrects its estimated quotient digit by adding the divisor
// back only when the dividend lies just below a multiple of the divisor; random
// operands almost never get there, in the packed radix of PowerMod even less.
// These operands do: a = q*b - r for small r, and powers and products that
// sit just below the modulus.
TEST_F(Differential, NearMultiplesReachEveryCorrection)
{
    OperandSource source(RunSeed() ^ 0x5eedULL);
    const int count = Scaled(3000);
    int failures = 0;
    const auto check = [&](Op op, const Mpz& a, const Mpz& b, const Mpz& c) {
        const GInt::OwnedNum na = source.Num(a), nb = source.Num(b), nc = source.Num(c);
        const std::string verdict = GmpCheck::CheckOp(op, na.get(), nb.get(), nc.get());
        if (!verdict.empty() && ++failures <= 10)
            ADD_FAILURE() << verdict << "\n  (VELMORA_DIFF_SEED=" << RunSeed() << ")";
        ++OperationsRun();
    };
    for (int i = 0; i < count && failures < 10; ++i) {
        // A divisor whose top digit is large (no normalising shift) or small.
        Mpz b = source.Value(12 + source.Below(60), true);
        mpz_add_ui(b.v, b.v, 2);
        Mpz q = source.Value(1 + source.Below(30), true);
        mpz_add_ui(q.v, q.v, 1);
        Mpz a;
        mpz_mul(a.v, q.v, b.v);
        mpz_sub_ui(a.v, a.v, static_cast<unsigned long>(source.Below(3)));
        if (source.Below(2))
            mpz_neg(a.v, a.v);
        check(source.Below(2) ? Op::DivMod : Op::Mod, a, b, Mpz());

        // x^2 and x*y just below the modulus.
        Mpz x = source.Value(9 + source.Below(40), true), y = source.Value(9 + source.Below(40), true);
        mpz_add_ui(x.v, x.v, 1);
        mpz_add_ui(y.v, y.v, 1);
        Mpz square, product;
        mpz_mul(square.v, x.v, x.v);
        mpz_add_ui(square.v, square.v, 1 + static_cast<unsigned long>(source.Below(2)));
        mpz_mul(product.v, x.v, y.v);
        mpz_add_ui(product.v, product.v, 1);
        check(Op::PowerMod, x, Mpz(2), square);
        check(Op::SquareMod, x, square, Mpz());
        check(Op::MulMod, x, y, product);
        // A longer exponent keeps every later reduction near the modulus too.
        check(Op::PowerMod, x, Mpz(2 + source.Below(1000)), square);
    }
}

// The oracle itself must catch a wrong result, or every check above is empty.
TEST(DifferentialOracle, NoticesWrongResults)
{
    const GInt::OwnedNum seven = GmpCheck::MakeNum(Mpz(7));
    EXPECT_EQ(GmpCheck::ChainDefect(seven.get()), "");
    EXPECT_EQ(GmpCheck::ValueOf(seven.get()).text(), "7");

    // A chain with a zero top node is reported, and a broken back link too.
    GInt::OwnedNum padded = GmpCheck::MakeNum(Mpz(10000));
    padded.get()->Higher->Digit = 0;
    EXPECT_NE(GmpCheck::ChainDefect(padded.get()), "");
    padded.get()->Higher->Digit = 1;
    padded.get()->Higher->Lower = nullptr;
    EXPECT_NE(GmpCheck::ChainDefect(padded.get()), "");
    padded.get()->Higher->Lower = padded.get();
    EXPECT_EQ(GmpCheck::ChainDefect(padded.get()), "");

    // The expected sign table of the division.
    struct Case {
        long a, b, q, r;
    };
    for (const Case c : {Case{7, 3, 2, 1}, Case{7, -3, -2, 1}, Case{-7, 3, -3, 2}, Case{-7, -3, 3, 2},
             Case{-6, 3, -2, 0}, Case{-3, 10, -1, 7}}) {
        const GInt::OwnedNum a = GmpCheck::MakeNum(Mpz(c.a));
        const GInt::OwnedNum b = GmpCheck::MakeNum(Mpz(c.b));
        EXPECT_EQ(GmpCheck::CheckOp(Op::DivMod, a.get(), b.get(), nullptr), "") << c.a << " / " << c.b;
        GInt::OwnedNum q, r;
        GInt::DivModNum(a.get(), b.get(), q.out(), r.out());
        EXPECT_EQ(GmpCheck::ValueOf(q.get()).text(), std::to_string(c.q));
        EXPECT_EQ(GmpCheck::ValueOf(r.get()).text(), std::to_string(c.r));
    }
}

} // namespace
