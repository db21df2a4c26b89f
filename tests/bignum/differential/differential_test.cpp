// Seeded random cross-check of the signed big-number operations against GMP.
// The seed is printed; VELMORA_TEST_SEED=<n> repeats a run.
// VELMORA_DIFF_OPS=<n> sets the total number of operations, spread over the
// tests in their usual proportions; VELMORA_DIFF_SCALE=<percent> shrinks or
// grows the usual size instead (memcheck runs use a small scale).
#include "tests/support/gmpcheck.h"
#include "tests/support/propertyseed.h"

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
    static const uint64_t seed = PropertySeed("differential test");
    return seed;
}

// Operations per test at the usual size. The near-multiple test checks five
// operations per round.
constexpr int kAddOps = 20000, kSubOps = 20000, kMulOps = 14000, kSquareOps = 4000, kDivModOps = 16000,
              kModOps = 10000, kGcdOps = 6000, kMulModOps = 4000, kSquareModOps = 2000, kPowerModOps = 2000,
              kInverseModOps = 4000, kNearMultipleRounds = 3000, kKilobitPowerOps = 1500;
constexpr long long kUsualTotal = kAddOps + kSubOps + kMulOps + kSquareOps + kDivModOps + kModOps + kGcdOps
    + kMulModOps + kSquareModOps + kPowerModOps + kInverseModOps + 5LL * kNearMultipleRounds + kKilobitPowerOps;

int Scaled(int count)
{
    if (const char* text = std::getenv("VELMORA_DIFF_OPS")) {
        const long long total = std::strtoll(text, nullptr, 10);
        return static_cast<int>(std::max(1LL, count * total / kUsualTotal));
    }
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
            ADD_FAILURE() << verdict << "\n  (VELMORA_TEST_SEED=" << RunSeed() << ", operation " << i << ")";
        }
        ++OperationsRun();
    }
}

class Differential : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RunSeed(); }
    static void TearDownTestSuite()
    {
        std::cout << "differential operations checked: " << OperationsRun() << std::endl;
    }
};

TEST_F(Differential, AddNum) { RunDifferential(Op::Add, {kAddOps, 120, 120, 0}); }
TEST_F(Differential, SubNum) { RunDifferential(Op::Sub, {kSubOps, 120, 120, 0}); }
TEST_F(Differential, MulNum) { RunDifferential(Op::Mul, {kMulOps, 150, 150, 0, false, true}); }
TEST_F(Differential, SquareNum) { RunDifferential(Op::Square, {kSquareOps, 150, 0, 0}); }
TEST_F(Differential, DivModNum) { RunDifferential(Op::DivMod, {kDivModOps, 300, 150, 0, false, true}); }
TEST_F(Differential, ModNum) { RunDifferential(Op::Mod, {kModOps, 300, 150, 0, false, true}); }
TEST_F(Differential, GcdNum) { RunDifferential(Op::Gcd, {kGcdOps, 80, 80, 0}); }
TEST_F(Differential, MulMod) { RunDifferential(Op::MulMod, {kMulModOps, 120, 120, 100}); }
TEST_F(Differential, SquareMod) { RunDifferential(Op::SquareMod, {kSquareModOps, 120, 100, 0}); }
TEST_F(Differential, PowerMod) { RunDifferential(Op::PowerMod, {kPowerModOps, 100, 60, 100}); }
TEST_F(Differential, InverseMod) { RunDifferential(Op::InverseMod, {kInverseModOps, 60, 60, 0, true}); }

// PowerMod with moduli of 1 to 1,024 binary digits, odd and even in equal
// numbers, and exponents of 0 to 1,024 digits: every word count of the
// Montgomery path (and the run-time one above it) and the window widths.
// Bases reach past the modulus and may be negative. Lengths are drawn in
// bits, with dense or sparse bit patterns.
TEST_F(Differential, PowerModUpToKilobitModuli)
{
    OperandSource source(RunSeed() ^ 0x6b696c6fULL);
    std::mt19937_64 bits(RunSeed() ^ 0x626974ULL);
    const auto randomBits = [&](int length) {
        Mpz v;
        if (length <= 0)
            return v;
        const int density = source.Below(3); // sparse, even, dense
        for (int i = 0; i < length - 1; ++i) {
            const uint64_t draw = bits() % 8;
            if ((density == 0 && draw == 0) || (density == 1 && draw < 4) || (density == 2 && draw != 0))
                mpz_setbit(v.v, static_cast<mp_bitcnt_t>(i));
        }
        mpz_setbit(v.v, static_cast<mp_bitcnt_t>(length - 1));
        return v;
    };
    const int count = Scaled(kKilobitPowerOps);
    int failures = 0;
    for (int i = 0; i < count && failures < 10; ++i) {
        const int modulusBits = 1 + source.Below(1100);
        Mpz m = randomBits(modulusBits);
        if (i % 2 == 0)
            mpz_setbit(m.v, 0);
        else
            mpz_clrbit(m.v, 0);
        Mpz e = randomBits(source.Below(1025));
        Mpz a = randomBits(source.Below(modulusBits + 70));
        if (source.Below(4) == 0)
            mpz_neg(a.v, a.v);
        if (source.Below(8) == 0)
            mpz_neg(e.v, e.v);
        if (source.Below(8) == 0)
            mpz_neg(m.v, m.v);
        const GInt::OwnedNum na = source.Num(a), ne = source.Num(e), nm = source.Num(m);
        const std::string verdict = GmpCheck::CheckOp(Op::PowerMod, na.get(), ne.get(), nm.get());
        if (!verdict.empty()) {
            ++failures;
            ADD_FAILURE() << verdict << "\n  (VELMORA_TEST_SEED=" << RunSeed() << ", operation " << i << ")";
        }
        ++OperationsRun();
    }
}

// Long division corrects its estimated quotient digit by adding the divisor
// back only when the dividend lies just below a multiple of the divisor; random
// operands almost never get there, in the packed radix of PowerMod even less.
// These operands do: a = q*b - r for small r, and powers and products that
// sit just below the modulus.
TEST_F(Differential, NearMultiplesReachEveryCorrection)
{
    OperandSource source(RunSeed() ^ 0x5eedULL);
    const int count = Scaled(kNearMultipleRounds);
    int failures = 0;
    const auto check = [&](Op op, const Mpz& a, const Mpz& b, const Mpz& c) {
        const GInt::OwnedNum na = source.Num(a), nb = source.Num(b), nc = source.Num(c);
        const std::string verdict = GmpCheck::CheckOp(op, na.get(), nb.get(), nc.get());
        if (!verdict.empty() && ++failures <= 10)
            ADD_FAILURE() << verdict << "\n  (VELMORA_TEST_SEED=" << RunSeed() << ")";
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
