// Random signed operands checked against 128-bit integer arithmetic. Operand
// sizes are chosen so that the oracle cannot overflow. Every result must be a
// well-formed chain in normal form and every operand must come back unchanged.
// The seed is printed; set VELMORA_TEST_SEED to repeat a run.
#include "tests/bignum/gint_support.h"
#include "tests/support/propertyseed.h"

#include <chrono>
#include <cstdlib>
#include <iostream>

namespace gint_test {

uint64_t Seed()
{
    static const uint64_t seed = PropertySeed("gint property tests");
    return seed;
}

namespace {

using namespace GInt;

constexpr int kRounds = 3000;

Signed Add(Signed a, Signed b)
{
    if (a.negative == b.negative)
        return {a.negative, a.magnitude + b.magnitude};
    if (a.magnitude >= b.magnitude)
        return {a.negative, a.magnitude - b.magnitude};
    return {b.negative, b.magnitude - a.magnitude};
}

u128 Gcd(u128 a, u128 b)
{
    while (b) {
        const u128 t = a % b;
        a = b;
        b = t;
    }
    return a;
}

u128 PowMod(u128 base, u128 exponent, u128 modulus)
{
    u128 result = 1 % modulus;
    base %= modulus;
    while (exponent) {
        if (exponent & 1)
            result = result * base % modulus;
        base = base * base % modulus;
        exponent >>= 1;
    }
    return result;
}

std::string Bits(u128 v)
{
    if (v == 0)
        return "0";
    std::string bits;
    for (; v; v >>= 1)
        bits.insert(bits.begin(), static_cast<char>('0' + static_cast<int>(v & 1)));
    return bits;
}

// Euclidean division with the quotient's sign as the division defines it:
// a non-negative dividend gives the divisor's sign; a negative one gives a
// negative quotient exactly when the divisor is non-negative.
std::pair<Signed, Signed> EuclideanDivision(Signed a, Signed b)
{
    u128 q = a.magnitude / b.magnitude;
    u128 r = a.magnitude % b.magnitude;
    if (a.negative && r != 0) {
        ++q;
        r = b.magnitude - r;
    }
    const bool negativeQuotient = a.negative ? !b.negative : b.negative;
    return {Signed{negativeQuotient, q}, Signed{false, r}};
}

struct Operands {
    OwnedNum a;
    OwnedNum b;
    Snapshot before_a;
    Snapshot before_b;

    Operands(const Signed& x, const Signed& y) : a(Make(x)), b(Make(y)), before_a(a.get()), before_b(b.get()) {}
    bool Unchanged() const { return Snapshot(a.get()) == before_a && Snapshot(b.get()) == before_b; }
};

#define EXPECT_RESULT(num, expected, context)                                                       \
    do {                                                                                            \
        EXPECT_TRUE(WellFormed(num)) << context;                                                    \
        EXPECT_EQ(Text(num), expected) << context;                                                  \
    } while (false)

std::string Context(const Signed& a, const Signed& b)
{
    return "a=" + ToDecimal(a) + " b=" + ToDecimal(b) + " seed=" + std::to_string(Seed());
}

TEST(GIntProperty, AddSubMul)
{
    Random random;
    for (int i = 0; i < kRounds; ++i) {
        const Signed x = random.Value(36);
        const Signed y = random.Value(36);
        Operands ops(x, y);
        const std::string context = Context(x, y);
        OwnedNum sum;
        OwnedNum difference;
        AddNum(ops.a.get(), ops.b.get(), sum.out());
        SubNum(ops.a.get(), ops.b.get(), difference.out());
        EXPECT_RESULT(sum.get(), ToDecimal(Add(x, y)), context);
        EXPECT_RESULT(difference.get(), ToDecimal(Add(x, Signed{!y.negative, y.magnitude})), context);
        EXPECT_TRUE(ops.Unchanged()) << context;

        const Signed small_x = random.Value(18);
        const Signed small_y = random.Value(18);
        Operands factors(small_x, small_y);
        OwnedNum product;
        MulNum(factors.a.get(), factors.b.get(), product.out());
        const u128 magnitude = small_x.magnitude * small_y.magnitude;
        const Signed expected{magnitude != 0 && small_x.negative != small_y.negative, magnitude};
        EXPECT_RESULT(product.get(), ToDecimal(expected), Context(small_x, small_y));
        OwnedNum square;
        SquareNum(factors.a.get(), square.out());
        EXPECT_RESULT(square.get(), ToDecimal(small_x.magnitude * small_x.magnitude), Context(small_x, small_x));
        EXPECT_TRUE(factors.Unchanged()) << Context(small_x, small_y);
    }
}

void CheckDivision(const Signed& x, const Signed& y)
{
    Operands ops(x, y);
    const std::string context = Context(x, y);
    const auto [q, r] = EuclideanDivision(x, y);
    OwnedNum quotient;
    OwnedNum remainder;
    DivModNum(ops.a.get(), ops.b.get(), quotient.out(), remainder.out());
    EXPECT_RESULT(quotient.get(), ToDecimal(q), context);
    EXPECT_RESULT(remainder.get(), ToDecimal(r), context);
    OwnedNum mod;
    ModNum(ops.a.get(), ops.b.get(), mod.out());
    EXPECT_RESULT(mod.get(), ToDecimal(r), context);
    EXPECT_TRUE(ops.Unchanged()) << context;
}

TEST(GIntProperty, DivisionExhaustiveSmallRange)
{
    for (int a = -300; a <= 300; ++a) {
        for (int b = -300; b <= 300; ++b) {
            if (b == 0)
                continue;
            CheckDivision(Signed{a < 0, static_cast<u128>(a < 0 ? -a : a)},
                Signed{b < 0, static_cast<u128>(b < 0 ? -b : b)});
            if (HasFailure())
                return;
        }
    }
}

TEST(GIntProperty, DivisionRandom)
{
    Random random;
    for (int i = 0; i < kRounds; ++i) {
        const Signed x = random.Value(36);
        Signed y = random.Value(static_cast<int>(1 + random.Below(36)));
        if (y.magnitude == 0)
            y.magnitude = 1 + random.Below(9999);
        CheckDivision(x, y);
        // Negative zero as dividend.
        if (i % 100 == 0)
            CheckDivision(Signed{true, 0}, y);
    }
}

TEST(GIntProperty, SmallDivisors)
{
    Random random;
    for (int i = 0; i < kRounds; ++i) {
        const Signed x = random.Value(36);
        const int32_t d = static_cast<int32_t>(1 + random.Below(9999));
        const std::string context = Context(x, Signed{false, static_cast<u128>(d)});
        OwnedNum n = Make(x);
        const Snapshot before(n.get());
        OwnedNum q;
        int32_t r = -1;
        DivBySmall(n.get(), q.out(), d, r);
        EXPECT_RESULT(q.get(), ToDecimal(x.magnitude / static_cast<u128>(d)), context);
        EXPECT_EQ(r, static_cast<int32_t>(x.magnitude % static_cast<u128>(d))) << context;
        int32_t m = -1;
        ModBySmall(n.get(), d, m);
        EXPECT_EQ(m, r) << context;
        EXPECT_TRUE(Snapshot(n.get()) == before) << context;
        Num bottom = n.get();
        int32_t inPlace = -1;
        DivBySmallInPlace(n.out(), d, inPlace);
        EXPECT_EQ(n.get(), bottom);
        EXPECT_EQ(inPlace, r) << context;
        EXPECT_RESULT(n.get(), ToDecimal(Signed{x.negative, x.magnitude / static_cast<u128>(d)}), context);
    }
}

TEST(GIntProperty, GcdMagnitudeAndSign)
{
    Random random;
    for (int i = 0; i < kRounds; ++i) {
        Signed x = random.Value(36);
        Signed y = random.Value(36);
        // Shared factors make the interesting cases (exact division, equal operands) common.
        if (i % 3 == 0) {
            const u128 factor = random.Magnitude(12);
            x.magnitude = random.Magnitude(12) * factor;
            y.magnitude = (i % 2 ? random.Magnitude(12) : 1) * factor;
        }
        Operands ops(x, y);
        const std::string context = Context(x, y);
        OwnedNum g;
        GcdNum(ops.a.get(), ops.b.get(), g.out());
        const u128 magnitude = Gcd(x.magnitude, y.magnitude);
        bool negative = false;
        if (x.magnitude == y.magnitude) {
            negative = x.negative;
        } else {
            const Signed& larger = x.magnitude > y.magnitude ? x : y;
            const Signed& smaller = x.magnitude > y.magnitude ? y : x;
            if (smaller.magnitude == 0)
                negative = larger.negative;
            else if (larger.magnitude % smaller.magnitude == 0)
                negative = smaller.negative;
        }
        EXPECT_RESULT(g.get(), ToDecimal(Signed{negative, magnitude}), context);
        EXPECT_TRUE(ops.Unchanged()) << context;
    }
}

TEST(GIntProperty, PowerModMatchesOracle)
{
    Random random;
    for (int i = 0; i < kRounds / 3; ++i) {
        const Signed base = random.Value(36);
        const Signed exponent = random.Value(36);
        Signed modulus = random.Value(static_cast<int>(1 + random.Below(18)));
        if (modulus.magnitude == 0)
            modulus.magnitude = 1;
        OwnedNum a = Make(base);
        OwnedNum e = Make(exponent);
        OwnedNum m = Make(modulus);
        const Snapshot before_a(a.get()), before_e(e.get()), before_m(m.get());
        const std::string context = Context(base, exponent) + " m=" + ToDecimal(modulus);
        OwnedNum r;
        PowerMod(a.get(), e.get(), m.get(), r.out());
        u128 expected = 1;
        if (exponent.magnitude != 0) {
            u128 reduced = base.magnitude % modulus.magnitude;
            if (base.negative && reduced != 0)
                reduced = modulus.magnitude - reduced;
            expected = PowMod(reduced, exponent.magnitude, modulus.magnitude);
        }
        EXPECT_RESULT(r.get(), ToDecimal(expected), context);
        EXPECT_TRUE(Snapshot(a.get()) == before_a && Snapshot(e.get()) == before_e && Snapshot(m.get()) == before_m)
            << context;
    }
}

TEST(GIntProperty, InverseModSatisfiesCongruence)
{
    Random random;
    int found = 0;
    for (int i = 0; i < kRounds; ++i) {
        Signed x = random.Value(18);
        Signed m = random.Value(18);
        if (x.magnitude == 0 || m.magnitude == 0)
            continue;
        if (i % 2 == 0)
            m.negative = false;
        Operands ops(x, m);
        const std::string context = Context(x, m);
        OwnedNum sentinel = Make("777");
        Num result = sentinel.get();
        InverseMod(ops.a.get(), ops.b.get(), result);
        EXPECT_TRUE(ops.Unchanged()) << context;
        if (Gcd(x.magnitude, m.magnitude) != 1) {
            EXPECT_EQ(result, sentinel.get()) << context;
            continue;
        }
        ASSERT_NE(result, sentinel.get()) << context;
        OwnedNum inverse(result);
        ++found;
        EXPECT_TRUE(WellFormed(inverse.get())) << context;
        // x * inverse = 1 (mod |m|), checked with the oracle on the chain's value.
        const std::string text = Text(inverse.get());
        const bool negative = text[0] == '-';
        u128 value = 0;
        for (const char c : text.substr(negative ? 1 : 0))
            value = value * 10 + static_cast<u128>(c - '0');
        if (!m.negative && m.magnitude > 1) {
            EXPECT_FALSE(negative) << context;
            EXPECT_GE(value, 1u) << context;
            EXPECT_LT(value, m.magnitude) << context;
        }
        u128 residue = (x.magnitude % m.magnitude) * (value % m.magnitude) % m.magnitude;
        if (x.negative != negative && residue != 0)
            residue = m.magnitude - residue;
        EXPECT_EQ(static_cast<uint64_t>(residue), 1 % static_cast<uint64_t>(m.magnitude)) << context;
    }
    EXPECT_GT(found, kRounds / 4);
}

TEST(GIntProperty, TextRoundTrips)
{
    Random random;
    for (int i = 0; i < kRounds; ++i) {
        const Signed x = random.Value(36);
        const std::string canonical = ToDecimal(x);

        // Decimal: leading zeros and skipped characters do not change the value.
        const std::string padded = (random.Below(2) ? " +" : "") + std::string(x.negative ? "-" : "") +
            std::string(random.Below(6), '0') + ToDecimal(x.magnitude);
        OwnedNum n = Make(padded);
        EXPECT_RESULT(n.get(), canonical, padded);

        // Binary: the magnitude's bits, and back (junk counts as 0 bits).
        std::string bits;
        NumToBinary(n.get(), bits);
        EXPECT_EQ(bits, Bits(x.magnitude)) << canonical;
        EXPECT_EQ(Text(n.get()), canonical);
        const std::string noisy = std::string(random.Below(5), random.Below(2) ? '0' : 'x') + bits;
        OwnedNum back;
        BinaryToNum(noisy, back.out());
        EXPECT_RESULT(back.get(), ToDecimal(x.magnitude), noisy);
        EXPECT_EQ(back.get()->Sign, 1);

        OwnedNum copy;
        CopyNum(n.get(), copy.out());
        EXPECT_RESULT(copy.get(), canonical, canonical);
        EXPECT_NE(copy.get(), n.get());

        Num bottom = n.get();
        DivByTenInPlace(n.get());
        EXPECT_EQ(n.get(), bottom);
        EXPECT_RESULT(n.get(), ToDecimal(Signed{x.negative, x.magnitude / 10}), canonical);
    }
}

} // namespace
} // namespace gint_test

namespace gint_test {
namespace {

using namespace GInt;

// Text of a number with 1..maxNodes base-10000 digits, biased towards the
// digits 0 and 9999, which make quotient estimates go wrong most often.
std::string LongText(Random& random, int maxNodes)
{
    const int nodes = 1 + static_cast<int>(random.Below(static_cast<uint64_t>(maxNodes)));
    std::string text = random.Below(2) ? "-" : "";
    text += std::to_string(1 + random.Below(9999));
    for (int i = 1; i < nodes; ++i) {
        const uint64_t kind = random.Below(4);
        const uint64_t digit = kind == 0 ? 0 : kind == 1 ? 9999 : random.Below(10000);
        std::string group = std::to_string(digit);
        text += std::string(4 - group.size(), '0') + group;
    }
    return text;
}

// Large operands beyond the 128-bit oracle: a = q*b + r with 0 <= r < |b|,
// checked with the multiplication and addition of the unit itself.
TEST(GIntProperty, LongDivisionReassembles)
{
    Random random;
    for (int i = 0; i < kRounds; ++i) {
        OwnedNum a = Make(LongText(random, 60));
        OwnedNum b = Make(LongText(random, 30));
        const std::string context = Text(a.get()) + " / " + Text(b.get());
        OwnedNum q;
        OwnedNum r;
        DivModNum(a.get(), b.get(), q.out(), r.out());
        EXPECT_TRUE(WellFormed(q.get())) << context;
        EXPECT_TRUE(WellFormed(r.get())) << context;
        EXPECT_EQ(r.get()->Sign, 1) << context;
        EXPECT_EQ(CompareAbs(r.get(), b.get()), crLess) << context;
        OwnedNum product;
        MulNum(q.get(), b.get(), product.out());
        OwnedNum sum;
        AddNum(product.get(), r.get(), sum.out());
        EXPECT_EQ(Text(sum.get()), Text(a.get())) << context;
    }
}

// A text of exactly `bits` binary digits (top digit 1); empty for none.
std::string RandomBinary(Random& random, uint64_t bits)
{
    if (bits == 0)
        return "";
    std::string text = "1";
    for (uint64_t k = 1; k < bits; ++k)
        text.push_back(random.Below(2) ? '1' : '0');
    return text;
}

// PowerMod against square-and-multiply built from MulMod, with moduli of up to
// 1,024 binary digits (odd and even in turn, some negative), exponents of 0 to
// 1,024 digits and bases up to twice the modulus' length.
TEST(GIntProperty, PowerModMatchesRepeatedMulMod)
{
    Random random;
    for (int i = 0; i < 60; ++i) {
        const uint64_t modulusBits = 2 + random.Below(1023);
        std::string modulusText = RandomBinary(random, modulusBits);
        modulusText.back() = i % 2 ? '1' : '0';
        OwnedNum m;
        BinaryToNum(modulusText, m.out());
        if (random.Below(4) == 0)
            NegateNum(m.get());
        OwnedNum a;
        BinaryToNum(RandomBinary(random, random.Below(2 * modulusBits)), a.out());
        if (random.Below(2))
            NegateNum(a.get());
        const std::string exponentBits = RandomBinary(random, random.Below(1025));
        OwnedNum e;
        BinaryToNum(exponentBits, e.out());
        const std::string context = Text(a.get()) + " ^ " + Text(e.get()) + " mod " + Text(m.get());

        OwnedNum expected = Make("1");
        for (const char bit : exponentBits) {
            OwnedNum squared;
            MulMod(expected.get(), expected.get(), m.get(), squared.out());
            expected = std::move(squared);
            if (bit == '1') {
                OwnedNum multiplied;
                MulMod(expected.get(), a.get(), m.get(), multiplied.out());
                expected = std::move(multiplied);
            }
        }
        OwnedNum actual;
        PowerMod(a.get(), e.get(), m.get(), actual.out());
        EXPECT_TRUE(WellFormed(actual.get())) << context;
        EXPECT_EQ(Text(actual.get()), Text(expected.get())) << context;
    }
}

// The named conventions agree with the conversions: the lengths with the
// texts NumToDecimal and NumToBinary write, the sign test with the minus sign.
TEST(GIntProperty, LengthsAndSignMatchTheTexts)
{
    Random random;
    for (int i = 0; i < kRounds / 3; ++i) {
        OwnedNum n = Make(random.Below(8) == 0 ? std::string(random.Below(2) ? "-0" : "0") : LongText(random, 80));
        const std::string context = Text(n.get());
        std::string decimal, binary;
        NumToDecimal(decimal, n.get());
        NumToBinary(n.get(), binary);
        EXPECT_EQ(IsNegative(n.get()), decimal.front() == '-') << context;
        EXPECT_EQ(DecimalLength(n.get()), decimal.size() - (decimal.front() == '-' ? 1 : 0)) << context;
        EXPECT_EQ(BinaryLength(n.get()), binary.size()) << context;
        const uint8_t sign = n.get()->Sign;
        NegateNum(n.get());
        EXPECT_EQ(n.get()->Sign, NegatedSign(sign)) << context;
    }
}

} // namespace
} // namespace gint_test
