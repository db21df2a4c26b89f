// Hand-picked cases where digit-chain arithmetic typically breaks: carries and
// borrows across whole nodes, signs of zero, node trimming, text grouping and
// the error paths.
#include "tests/bignum/gint_support.h"

#include <string>

namespace gint_test {
namespace {

using namespace GInt;

std::string ConvertError(const std::string& text)
{
    try {
        Num n = nullptr;
        DecimalToNum(text, n);
        FreeNum(n);
    } catch (const EConvertError& e) {
        return e.what();
    }
    return "no error";
}

TEST(GIntConversion, DecimalTextGroupsIntoBase10000Nodes)
{
    EXPECT_EQ(Digits(Make("0").get()), (std::vector<int32_t>{0}));
    EXPECT_EQ(Make("0").get()->Sign, 1);
    EXPECT_EQ(Digits(Make("12345678").get()), (std::vector<int32_t>{5678, 1234}));
    EXPECT_EQ(Digits(Make("100000000").get()), (std::vector<int32_t>{0, 0, 1}));
    EXPECT_EQ(Digits(Make("10000").get()), (std::vector<int32_t>{0, 1}));
    const OwnedNum n = Make("-00012345");
    EXPECT_EQ(Digits(n.get()), (std::vector<int32_t>{2345, 1}));
    EXPECT_EQ(n.get()->Sign, 0);
    EXPECT_EQ(Text(n.get()), "-12345");
    EXPECT_EQ(Text(Make("000123").get()), "123");
    for (const char* text : {"0", "-0", "-000", "000123", " +42", "abc-7", "12345678", "100000000", "-9999"})
        EXPECT_TRUE(WellFormed(Make(text).get())) << text;
}

TEST(GIntConversion, SignsAndSkippedLeadingCharacters)
{
    EXPECT_EQ(Text(Make("-0").get()), "-0");
    EXPECT_EQ(Text(Make("-000").get()), "-0");
    EXPECT_EQ(Text(Make(" +42").get()), "42");
    EXPECT_EQ(Text(Make("abc-7").get()), "-7");
    EXPECT_EQ(Text(Make("\n\t x007").get()), "7");
}

TEST(GIntConversion, BadGroupsAndEmptyTextRaiseTheConversionError)
{
    EXPECT_EQ(ConvertError("12a4"), "'12a4' is not a valid integer value");
    EXPECT_EQ(ConvertError("-a1"), "'a1' is not a valid integer value");
    EXPECT_EQ(ConvertError("123 "), "'123 ' is not a valid integer value");
    EXPECT_EQ(ConvertError("12345 6789"), "'345 ' is not a valid integer value");
    EXPECT_EQ(ConvertError("--5"), "'-5' is not a valid integer value");
    EXPECT_EQ(ConvertError("0x1F"), "'x1F' is not a valid integer value");
    EXPECT_EQ(ConvertError(""), "'' is not a valid integer value");
    EXPECT_EQ(ConvertError("abc"), "'' is not a valid integer value");
    EXPECT_EQ(ConvertError("-"), "'' is not a valid integer value");
    EXPECT_EQ(ConvertError("  +-"), "'' is not a valid integer value");
    // A failed conversion leaves the result variable alone.
    Num n = nullptr;
    EXPECT_THROW(DecimalToNum("1 2", n), EConvertError);
    EXPECT_EQ(n, nullptr);
}

TEST(GIntConversion, NumToDecimalCopyAndFree)
{
    OwnedNum n(new TDigitNode{1, 5, nullptr, nullptr});
    TDigitNode* middle = new TDigitNode{1, 0, nullptr, n.get()};
    n.get()->Higher = middle;
    middle->Higher = new TDigitNode{1, 7, nullptr, middle};
    EXPECT_EQ(Text(n.get()), "700000005");

    // Zero top nodes are copied and skipped when written.
    middle->Higher->Digit = 0;
    OwnedNum copy;
    CopyNum(n.get(), copy.out());
    EXPECT_EQ(Digits(copy.get()), (std::vector<int32_t>{5, 0, 0}));
    EXPECT_EQ(Text(copy.get()), "5");
    EXPECT_NE(copy.get(), n.get());

    // Releasing through an upper node releases the whole chain.
    Num upper = copy.release()->Higher;
    FreeNum(upper);
    EXPECT_EQ(upper, nullptr);
    FreeNum(upper); // releasing an empty variable does nothing
}

TEST(GIntConversion, DivByTenInPlaceKeepsBottomNodeAndSign)
{
    struct Case {
        const char* in;
        const char* out;
        size_t nodes;
    };
    for (const Case& c : {Case{"12345", "1234", 1}, Case{"5", "0", 1}, Case{"100000", "10000", 2},
             Case{"99999999", "9999999", 2}, Case{"-15", "-1", 1}, Case{"-9", "-0", 1}}) {
        OwnedNum n = Make(c.in);
        Num bottom = n.get();
        DivByTenInPlace(n.get());
        EXPECT_EQ(n.get(), bottom);
        EXPECT_EQ(Text(n.get()), c.out) << c.in;
        EXPECT_EQ(Digits(n.get()).size(), c.nodes) << c.in;
        EXPECT_TRUE(WellFormed(n.get()));
    }
}

TEST(GIntArithmetic, CompareAbsOrdersByNodeCountThenDigits)
{
    EXPECT_EQ(CompareAbs(Make("-7").get(), Make("7").get()), crEqual);
    EXPECT_EQ(CompareAbs(Make("10000").get(), Make("9999").get()), crGreater);
    EXPECT_EQ(CompareAbs(Make("12345678").get(), Make("12345679").get()), crLess);
    EXPECT_EQ(CompareAbs(Make("-0").get(), Make("0").get()), crEqual);
}

TEST(GIntArithmetic, NegateAndAbsTouchOnlyTheSign)
{
    OwnedNum n = Make("0");
    NegateNum(n.get());
    EXPECT_EQ(Text(n.get()), "-0");
    NegateNum(n.get());
    EXPECT_EQ(Text(n.get()), "0");
    n = Make("-123456789");
    AbsNum(n.get());
    EXPECT_EQ(Text(n.get()), "123456789");
    AbsNum(n.get());
    EXPECT_EQ(Text(n.get()), "123456789");
    NegateNum(n.get());
    EXPECT_EQ(Digits(n.get()), (std::vector<int32_t>{6789, 2345, 1}));
    EXPECT_EQ(n.get()->Sign, 0);
}

TEST(GIntArithmetic, AdditionCarriesBorrowsAndZeroSigns)
{
    auto sum = [](const char* a, const char* b) {
        OwnedNum r;
        AddNum(Make(a).get(), Make(b).get(), r.out());
        EXPECT_TRUE(WellFormed(r.get()));
        return Text(r.get());
    };
    EXPECT_EQ(sum("999999999999", "1"), "1000000000000");
    EXPECT_EQ(sum("100000000", "-1"), "99999999");
    EXPECT_EQ(sum("3", "-10"), "-7");
    EXPECT_EQ(sum("-3", "-10"), "-13");
    EXPECT_EQ(sum("-12345", "12344"), "-1");
    EXPECT_EQ(sum("5", "-5"), "0");
    EXPECT_EQ(sum("-5", "5"), "-0");
    EXPECT_EQ(sum("-0", "-0"), "-0");
    EXPECT_EQ(sum("0", "-0"), "0");
    EXPECT_EQ(sum("-0", "0"), "-0");
}

TEST(GIntArithmetic, SubtractionLeavesSubtrahendSign)
{
    auto difference = [](const char* a, const char* b) {
        OwnedNum x = Make(a);
        OwnedNum y = Make(b);
        const uint8_t sign = y.get()->Sign;
        OwnedNum r;
        SubNum(x.get(), y.get(), r.out());
        EXPECT_EQ(y.get()->Sign, sign);
        EXPECT_TRUE(WellFormed(r.get()));
        return Text(r.get());
    };
    EXPECT_EQ(difference("5", "5"), "0");
    EXPECT_EQ(difference("-5", "-5"), "-0");
    EXPECT_EQ(difference("3", "10"), "-7");
    EXPECT_EQ(difference("-3", "10"), "-13");
    EXPECT_EQ(difference("10", "-3"), "13");

    // A number minus itself is a zero with its sign, and stays intact.
    OwnedNum n = Make("-123456789");
    OwnedNum r;
    SubNum(n.get(), n.get(), r.out());
    EXPECT_EQ(Text(r.get()), "-0");
    EXPECT_EQ(Text(n.get()), "-123456789");
}

TEST(GIntArithmetic, SubAbsInPlaceTrimsAndKeepsBottom)
{
    struct Case {
        const char* a;
        const char* b;
        const char* out;
    };
    for (const Case& c : {Case{"100000000", "1", "99999999"}, Case{"12345", "12345", "0"},
             Case{"20000", "1", "19999"}, Case{"-20000", "1", "-19999"}}) {
        OwnedNum a = Make(c.a);
        OwnedNum b = Make(c.b);
        Num bottom = a.get();
        SubAbsInPlace(a.get(), b.get());
        EXPECT_EQ(a.get(), bottom);
        EXPECT_EQ(Text(a.get()), c.out);
        EXPECT_EQ(Text(b.get()), c.b);
        EXPECT_TRUE(WellFormed(a.get()));
    }
    OwnedNum self = Make("123456789");
    SubAbsInPlace(self.get(), self.get());
    EXPECT_EQ(Digits(self.get()), (std::vector<int32_t>{0}));
}

TEST(GIntArithmetic, MultiplicationSignsAndNodeCounts)
{
    auto product = [](const char* a, const char* b) {
        OwnedNum r;
        MulNum(Make(a).get(), Make(b).get(), r.out());
        EXPECT_TRUE(WellFormed(r.get()));
        return Text(r.get());
    };
    EXPECT_EQ(product("0", "-5"), "0");
    EXPECT_EQ(product("-0", "7"), "0");
    EXPECT_EQ(product("-3", "4"), "-12");
    EXPECT_EQ(product("-3", "-4"), "12");
    EXPECT_EQ(product("9999", "9999"), "99980001");
    EXPECT_EQ(product("99999999", "99999999"), "9999999800000001");
    EXPECT_EQ(product("5", "10000"), "50000");
    OwnedNum square;
    SquareNum(Make("-12").get(), square.out());
    EXPECT_EQ(Text(square.get()), "144");
    OwnedNum n = Make("-123456789012");
    OwnedNum self;
    MulNum(n.get(), n.get(), self.out());
    EXPECT_EQ(Text(self.get()), "15241578753153483936144");
}

TEST(GIntArithmetic, MulBySmallInPlace)
{
    struct Case {
        const char* n;
        int32_t k;
        const char* out;
    };
    for (const Case& c : {Case{"99999999", 2, "199999998"}, Case{"99999999", -2, "-199999998"},
             Case{"-7", -2, "14"}, Case{"9999", 10000, "99990000"}, Case{"-5", 1, "-5"},
             Case{"99999999", 100000, "9999999900000"}}) {
        OwnedNum n = Make(c.n);
        Num bottom = n.get();
        MulBySmallInPlace(n.get(), c.k);
        EXPECT_EQ(n.get(), bottom);
        EXPECT_EQ(Text(n.get()), c.out) << c.n << " * " << c.k;
        EXPECT_TRUE(WellFormed(n.get()));
    }
}

TEST(GIntDivision, SmallDivisors)
{
    OwnedNum q;
    int32_t r = -1;
    DivBySmall(Make("10000").get(), q.out(), 2, r);
    EXPECT_EQ(Text(q.get()), "5000");
    EXPECT_EQ(r, 0);
    q.reset();
    DivBySmall(Make("-7").get(), q.out(), 2, r);
    EXPECT_EQ(Text(q.get()), "3");
    EXPECT_EQ(r, 1);

    OwnedNum n = Make("10000");
    Num bottom = n.get();
    DivBySmallInPlace(n.out(), 2, r);
    EXPECT_EQ(n.get(), bottom);
    EXPECT_EQ(Digits(n.get()), (std::vector<int32_t>{5000}));
    n = Make("-7");
    DivBySmallInPlace(n.out(), 2, r);
    EXPECT_EQ(Text(n.get()), "-3");
    EXPECT_EQ(r, 1);
    n = Make("-1");
    DivBySmallInPlace(n.out(), 3, r);
    EXPECT_EQ(Text(n.get()), "-0");
    EXPECT_EQ(r, 1);

    ModBySmall(Make("123456789").get(), 7, r);
    EXPECT_EQ(r, 1);
    ModBySmall(Make("-123456789").get(), 9973, r);
    EXPECT_EQ(r, 123456789 % 9973);
}

TEST(GIntDivision, OddSmallDivisors)
{
    // |d| >= 10000 does nothing at all.
    OwnedNum n = Make("123456789");
    Num q = nullptr;
    int32_t r = -1;
    DivBySmall(n.get(), q, 10000, r);
    DivBySmallInPlace(n.out(), -10000, r);
    ModBySmall(n.get(), 20000, r);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(Text(n.get()), "123456789");

    EXPECT_THROW(DivBySmall(n.get(), q, 0, r), EDivByZero);
    EXPECT_THROW(DivBySmallInPlace(n.out(), 0, r), EDivByZero);
    EXPECT_THROW(ModBySmall(n.get(), 0, r), EDivByZero);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(Text(n.get()), "123456789");

    // A negative divisor divides by its magnitude.
    OwnedNum quotient;
    DivBySmall(n.get(), quotient.out(), -7, r);
    EXPECT_EQ(Text(quotient.get()), "17636684");
    EXPECT_EQ(r, 1);
    ModBySmall(n.get(), -7, r);
    EXPECT_EQ(r, 1);
    DivBySmallInPlace(n.out(), -7, r);
    EXPECT_EQ(Text(n.get()), "17636684");
}

std::pair<std::string, std::string> DivMod(const char* a, const char* b)
{
    OwnedNum x = Make(a);
    OwnedNum y = Make(b);
    OwnedNum q;
    OwnedNum r;
    DivModNum(x.get(), y.get(), q.out(), r.out());
    EXPECT_TRUE(WellFormed(q.get()));
    EXPECT_TRUE(WellFormed(r.get()));
    EXPECT_EQ(Text(x.get()), a);
    EXPECT_EQ(Text(y.get()), b);
    return {Text(q.get()), Text(r.get())};
}

TEST(GIntDivision, DivModSignTable)
{
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(DivMod("99999999", "1"), (P{"99999999", "0"}));
    EXPECT_EQ(DivMod("5", "100000"), (P{"0", "5"}));
    EXPECT_EQ(DivMod("7", "3"), (P{"2", "1"}));
    EXPECT_EQ(DivMod("7", "-3"), (P{"-2", "1"}));
    EXPECT_EQ(DivMod("-7", "3"), (P{"-3", "2"}));
    EXPECT_EQ(DivMod("-7", "-3"), (P{"3", "2"}));
    EXPECT_EQ(DivMod("-6", "3"), (P{"-2", "0"}));
    EXPECT_EQ(DivMod("-6", "-3"), (P{"2", "0"}));
    EXPECT_EQ(DivMod("-3", "10"), (P{"-1", "7"}));
    EXPECT_EQ(DivMod("7", "-9"), (P{"-0", "7"}));
    EXPECT_EQ(DivMod("-0", "5"), (P{"-0", "0"}));
    EXPECT_EQ(DivMod("100000000000000000000", "99999999999"), (P{"1000000000", "1000000000"}));

    OwnedNum a = Make("-123456789123");
    OwnedNum q;
    OwnedNum r;
    DivModNum(a.get(), a.get(), q.out(), r.out());
    EXPECT_EQ(Text(q.get()), "1");
    EXPECT_EQ(Text(r.get()), "0");
    EXPECT_EQ(Text(a.get()), "-123456789123");
}

TEST(GIntDivision, ModNumAndZeroDivisor)
{
    auto mod = [](const char* a, const char* b) {
        OwnedNum r;
        ModNum(Make(a).get(), Make(b).get(), r.out());
        return Text(r.get());
    };
    EXPECT_EQ(mod("-7", "3"), "2");
    EXPECT_EQ(mod("7", "-3"), "1");
    EXPECT_EQ(mod("-6", "3"), "0");
    OwnedNum a = Make("-98765432109876543210");
    OwnedNum r;
    ModNum(a.get(), a.get(), r.out());
    EXPECT_EQ(Text(r.get()), "0");

    Num q = nullptr;
    Num rest = nullptr;
    EXPECT_THROW(DivModNum(a.get(), Make("0").get(), q, rest), EDivByZero);
    EXPECT_THROW(ModNum(a.get(), Make("-0").get(), rest), EDivByZero);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(rest, nullptr);
    EXPECT_STREQ(EDivByZero().what(), "Division by zero");
}

// Long division cases where the estimated quotient digit is too large and must
// be corrected, or where the divisor has to be added back.
TEST(GIntDivision, QuotientDigitCorrection)
{
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(DivMod("400000000000", "200000001"), (P{"1999", "199998001"}));
    EXPECT_EQ(DivMod("99999999999999999999", "99999999999"), (P{"1000000000", "999999999"}));
    EXPECT_EQ(DivMod("1000000000000000000000000", "99990001"), (P{"10000999999989999", "1"}));
    EXPECT_EQ(DivMod("999800010000000000012345", "99990000"), (P{"9999000000000000", "12345"}));
    EXPECT_EQ(DivMod("4000000000009999", "50000001"), (P{"79999998", "20010001"}));
}

std::string Modular(const char* op, const char* a, const char* b, const char* m)
{
    OwnedNum r;
    const std::string name = op;
    if (name == "square")
        SquareMod(Make(a).get(), Make(m).get(), r.out());
    else if (name == "mul")
        MulMod(Make(a).get(), Make(b).get(), Make(m).get(), r.out());
    else
        PowerMod(Make(a).get(), Make(b).get(), Make(m).get(), r.out());
    EXPECT_TRUE(WellFormed(r.get()));
    return Text(r.get());
}

TEST(GIntModular, PowersProductsAndSquares)
{
    EXPECT_EQ(Modular("pow", "2", "10", "1000"), "24");
    for (const char* m : {"1", "0", "-0", "7", "-12345678901234567890"})
        EXPECT_EQ(Modular("pow", "-98765", "0", m), "1") << m;
    EXPECT_EQ(Modular("pow", "-2", "3", "5"), "2");
    EXPECT_EQ(Modular("pow", "2", "-3", "5"), "3");
    EXPECT_EQ(Modular("pow", "2", "3", "-5"), "3");
    EXPECT_EQ(Modular("pow", "123", "456", "1"), "0");
    EXPECT_EQ(Modular("square", "-3", "", "5"), "4");
    EXPECT_EQ(Modular("mul", "-3", "4", "5"), "3");
    // Fermat: a^(p-1) = 1 mod p for the prime 2^127 - 1.
    EXPECT_EQ(Modular("pow", "1234567890123456789", "170141183460469231731687303715884105726",
                  "170141183460469231731687303715884105727"),
        "1");

    OwnedNum r;
    EXPECT_THROW(PowerMod(Make("2").get(), Make("5").get(), Make("0").get(), r.out()), EDivByZero);
    EXPECT_THROW(SquareMod(Make("2").get(), Make("0").get(), r.out()), EDivByZero);
    EXPECT_THROW(MulMod(Make("2").get(), Make("3").get(), Make("-0").get(), r.out()), EDivByZero);
    EXPECT_FALSE(r);
}

TEST(GIntModular, GcdSignRule)
{
    auto gcd = [](const char* a, const char* b) {
        OwnedNum g;
        GcdNum(Make(a).get(), Make(b).get(), g.out());
        EXPECT_TRUE(WellFormed(g.get()));
        return Text(g.get());
    };
    EXPECT_EQ(gcd("12", "18"), "6");
    EXPECT_EQ(gcd("18", "12"), "6");
    EXPECT_EQ(gcd("12", "-6"), "-6");
    EXPECT_EQ(gcd("-12", "6"), "6");
    EXPECT_EQ(gcd("-5", "-5"), "-5");
    EXPECT_EQ(gcd("7", "0"), "7");
    EXPECT_EQ(gcd("0", "7"), "7");
    EXPECT_EQ(gcd("-7", "0"), "-7");
    EXPECT_EQ(gcd("0", "0"), "0");
    EXPECT_EQ(gcd("-18", "-12"), "6");
}

TEST(GIntModular, InverseMod)
{
    auto inverse = [](const char* a, const char* m) {
        OwnedNum x;
        InverseMod(Make(a).get(), Make(m).get(), x.out());
        return x ? Text(x.get()) : std::string("none");
    };
    EXPECT_EQ(inverse("3", "7"), "5");
    EXPECT_EQ(inverse("7", "5"), "3");
    EXPECT_EQ(inverse("1", "9"), "1");
    EXPECT_EQ(inverse("17", "3120"), "2753");
    EXPECT_EQ(inverse("-1", "5"), "4");
    EXPECT_EQ(inverse("-3", "7"), "2");

    // No inverse: the out-parameter keeps what it held.
    OwnedNum keep = Make("42");
    Num x = keep.get();
    InverseMod(Make("2").get(), Make("4").get(), x);
    EXPECT_EQ(x, keep.get());
    EXPECT_EQ(Text(keep.get()), "42");

    Num none = nullptr;
    EXPECT_THROW(InverseMod(Make("0").get(), Make("1").get(), none), EDivByZero);
    EXPECT_EQ(none, nullptr);
}

TEST(GIntBinary, Conversions)
{
    auto binary = [](const char* n) {
        std::string bits;
        NumToBinary(Make(n).get(), bits);
        return bits;
    };
    EXPECT_EQ(binary("0"), "0");
    EXPECT_EQ(binary("-0"), "0");
    EXPECT_EQ(binary("10"), "1010");
    EXPECT_EQ(binary("-10"), "1010");
    EXPECT_EQ(binary("4096"), "1000000000000");
    auto number = [](const char* bits) {
        OwnedNum n;
        BinaryToNum(bits, n.out());
        EXPECT_TRUE(WellFormed(n.get()));
        EXPECT_EQ(n.get()->Sign, 1);
        return Text(n.get());
    };
    EXPECT_EQ(number(""), "0");
    EXPECT_EQ(number("000"), "0");
    EXPECT_EQ(number("0101"), "5");
    EXPECT_EQ(number("1a1"), "5");
    EXPECT_EQ(number("11111111111111111111111111111111111111111111111111111111111111111111111111111111"),
        "1208925819614629174706175");
}

} // namespace
} // namespace gint_test
