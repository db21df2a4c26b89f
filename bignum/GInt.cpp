#include "bignum/GInt.h"

#include "bignum/gint_p.h"
#include "bignum/limbs.h"
#include "bignum/words.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <new>

namespace GInt {

using limbs::Limbs;
using namespace detail;

namespace {

constexpr uint32_t kBase = limbs::kBase;

// Releases zero top nodes until the top digit is non-zero or only the bottom
// node is left.
void TrimChain(Num n)
{
    TDigitNode* top = TopOf(n);
    while (top->Digit == 0 && top->Lower) {
        TDigitNode* below = top->Lower;
        below->Higher = nullptr;
        delete top;
        top = below;
    }
}

std::string ConvertErrorMessage(std::string_view text)
{
    std::string message = "'";
    message.append(text);
    message.append("' is not a valid integer value");
    return message;
}

// Signed addition in the representation of AddNum: equal signs add the
// magnitudes; different signs subtract the smaller magnitude (by node count
// first, as CompareAbs orders them) from the larger, whose sign the result
// takes (a's sign when the magnitudes are equal). Zero top nodes of the
// difference are dropped, those of a sum are kept.
Num AddSigned(Num a, uint8_t signA, Num b, uint8_t signB)
{
    Limbs x = ReadDigits(a);
    Limbs y = ReadDigits(b);
    const bool negA = signA == kSignNegative;
    const bool negB = signB == kSignNegative;
    if (negA == negB) {
        Limbs sum = limbs::AddDigits(x, y);
        return BuildNum(sum, signA);
    }
    uint8_t sign = signA;
    if (limbs::CompareByLength(x, y) < 0) {
        std::swap(x, y);
        sign = signB;
    }
    Limbs difference = limbs::SubtractDigits(x, y);
    limbs::Trim(difference);
    return BuildNum(difference, sign);
}

// Checks a small divisor: false when |d| >= 10000 (the operation then does
// nothing at all), EDivByZero for 0. A negative divisor divides by its
// magnitude, so quotient and remainder are those of |n| / |d|.
bool AcceptSmallDivisor(int32_t d, uint32_t& divisor)
{
    if (d / 10000 != 0)
        return false;
    if (d == 0)
        throw EDivByZero();
    divisor = static_cast<uint32_t>(d < 0 ? -d : d);
    return true;
}

} // namespace

namespace detail {

// Builds a fresh chain holding digits[0..count) (least significant first,
// count >= 1) with the given sign. The chain is released again if an
// allocation fails half-way.
Num BuildNum(const uint32_t* digits, size_t count, uint8_t sign)
{
    OwnedNum owner(new TDigitNode{sign, static_cast<int32_t>(digits[0]), nullptr, nullptr});
    TDigitNode* top = owner.get();
    for (size_t i = 1; i < count; ++i) {
        auto* node = new TDigitNode{kSignNonNegative, static_cast<int32_t>(digits[i]), nullptr, top};
        top->Higher = node;
        top = node;
    }
    return owner.release();
}

Num BuildNum(const Limbs& digits, uint8_t sign)
{
    return BuildNum(digits.data(), digits.size(), sign);
}

Num NewSmall(uint32_t value, uint8_t sign)
{
    return BuildNum(&value, 1, sign);
}

// The digits of n exactly as stored, zero top nodes included.
Limbs ReadDigits(Num n)
{
    Limbs digits;
    for (const TDigitNode* node = n; node; node = node->Higher)
        digits.push_back(static_cast<uint32_t>(node->Digit));
    return digits;
}

// The magnitude of n with zero top nodes dropped.
Limbs ReadMagnitude(Num n)
{
    Limbs digits = ReadDigits(n);
    limbs::Trim(digits);
    return digits;
}

TDigitNode* TopOf(Num n)
{
    while (n->Higher)
        n = n->Higher;
    return n;
}

bool IsZeroNum(Num n)
{
    return n->Higher == nullptr && n->Digit == 0;
}

// Quotient and remainder of the magnitudes of a by b, and the signs of
// Euclidean division: 0 <= r < |b|, q rounded so that a = q*b + r. The
// quotient of a non-negative a carries b's sign (a zero quotient included);
// that of a negative a is non-negative exactly when b is negative.
void EuclideanDivide(Num a, Num b, Limbs* quotient, uint8_t& quotientSign, Limbs& remainder)
{
    const Limbs divisor = ReadMagnitude(b);
    if (limbs::IsZero(divisor))
        throw EDivByZero();
    const bool negA = IsNegative(a);
    const bool negB = IsNegative(b);
    limbs::DivMod(ReadMagnitude(a), divisor, quotient, remainder);
    if (!negA) {
        quotientSign = negB ? kSignNegative : kSignNonNegative;
        return;
    }
    if (!limbs::IsZero(remainder)) {
        if (quotient)
            limbs::AddSmall(*quotient, 1);
        remainder = limbs::SubtractDigits(divisor, remainder);
        limbs::Trim(remainder);
    }
    quotientSign = negB ? kSignNonNegative : kSignNegative;
}

} // namespace detail

void DecimalToNum(std::string_view text, Num& result)
{
    size_t start = 0;
    while (start < text.size() && text[start] != '-' && (text[start] < '0' || text[start] > '9'))
        ++start;
    if (start == text.size())
        throw EConvertError(ConvertErrorMessage({}));
    uint8_t sign = kSignNonNegative;
    if (text[start] == '-') {
        sign = kSignNegative;
        ++start;
    }
    std::string_view rest = text.substr(start);
    if (rest.empty())
        throw EConvertError(ConvertErrorMessage(rest));
    while (rest.size() > 1 && rest.front() == '0')
        rest.remove_prefix(1);

    // Groups of four characters counted from the right end; the first group
    // takes what is left over. Each group is one base-10000 digit.
    const size_t groups = (rest.size() + 3) / 4;
    Limbs digits(groups);
    size_t first = rest.size() % 4;
    if (first == 0)
        first = 4;
    size_t pos = 0;
    for (size_t g = 0; g < groups; ++g) {
        const size_t length = g == 0 ? first : 4;
        const std::string_view group = rest.substr(pos, length);
        uint32_t value = 0;
        for (const char c : group) {
            if (c < '0' || c > '9')
                throw EConvertError(ConvertErrorMessage(group));
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        digits[groups - 1 - g] = value;
        pos += length;
    }
    result = BuildNum(digits, sign);
}

void NumToDecimal(std::string& result, Num n)
{
    const Limbs digits = ReadDigits(n);
    std::string text;
    text.reserve(digits.size() * 4 + 1);
    for (size_t i = digits.size(); i-- > 0;) {
        uint32_t d = digits[i];
        char group[4];
        for (int k = 3; k >= 0; --k) {
            group[k] = static_cast<char>('0' + d % 10);
            d /= 10;
        }
        text.append(group, 4);
    }
    const size_t firstNonZero = std::min(text.find_first_not_of('0'), text.size() - 1);
    result.clear();
    if (IsNegative(n))
        result.push_back('-');
    result.append(text, firstNonZero, std::string::npos);
}

void FreeNum(Num& n)
{
    if (!n)
        return;
    TDigitNode* node = TopOf(n);
    while (node) {
        TDigitNode* below = node->Lower;
        delete node;
        node = below;
    }
    n = nullptr;
}

void CopyNum(Num n, Num& result)
{
    const Limbs digits = ReadDigits(n);
    result = BuildNum(digits, n->Sign);
}

// Each digit takes the lowest decimal place of the digit above it; at most
// the top node is released, so the bottom node and Sign stay.
void DivByTenInPlace(Num n)
{
    TDigitNode* node = n;
    TDigitNode* top = n;
    while (node) {
        const int32_t carried = node->Higher ? node->Higher->Digit % 10 : 0;
        node->Digit = node->Digit / 10 + carried * 1000;
        top = node;
        node = node->Higher;
    }
    if (top->Digit == 0 && top->Lower) {
        top->Lower->Higher = nullptr;
        delete top;
    }
}

// Node count decides first, then the digits from the top down.
TCompareResult CompareAbs(Num a, Num b)
{
    const TDigitNode* x = a;
    const TDigitNode* y = b;
    while (x->Higher && y->Higher) {
        x = x->Higher;
        y = y->Higher;
    }
    if (!x->Higher && y->Higher)
        return crLess;
    if (x->Higher && !y->Higher)
        return crGreater;
    while (true) {
        if (x->Digit > y->Digit)
            return crGreater;
        if (x->Digit < y->Digit)
            return crLess;
        if (!x->Lower || !y->Lower)
            return crEqual;
        x = x->Lower;
        y = y->Lower;
    }
}

void AdjustLowestDigit(Num n, int32_t delta)
{
    assert(n->Digit + delta >= 0 && n->Digit + delta < static_cast<int32_t>(kBase));
    n->Digit += delta;
}

size_t DecimalLength(Num n)
{
    const TDigitNode* top = TopOf(n);
    while (top->Digit == 0 && top->Lower)
        top = top->Lower;
    size_t length = 1;
    for (int32_t d = top->Digit; d >= 10; d /= 10)
        ++length;
    for (const TDigitNode* node = top->Lower; node; node = node->Lower)
        length += 4;
    return length;
}

size_t BinaryLength(Num n)
{
    return std::max<size_t>(words::BitLength(words::FromDigits(ReadDigits(n))), 1);
}

void NegateNum(Num n)
{
    n->Sign = NegatedSign(n->Sign);
}

void AbsNum(Num n)
{
    n->Sign = kSignNonNegative;
}

void AddNum(Num a, Num b, Num& result)
{
    result = AddSigned(a, a->Sign, b, b->Sign);
}

// a - b is a + (-b) with b's sign read, not flipped, so b is never touched and
// a and b may even be the same number (the result is then a zero with a's sign).
void SubNum(Num a, Num b, Num& result)
{
    result = AddSigned(a, a->Sign, b, NegatedSign(b->Sign));
}

void SubAbsInPlace(Num a, Num b)
{
    const TDigitNode* y = b;
    int32_t borrow = 0;
    for (TDigitNode* x = a; x; x = x->Higher) {
        int32_t difference = x->Digit - (y ? y->Digit : 0) - borrow;
        borrow = difference < 0 ? 1 : 0;
        if (difference < 0)
            difference += static_cast<int32_t>(kBase);
        if (y)
            y = y->Higher;
        x->Digit = difference;
    }
    TrimChain(a);
}

// Schoolbook product. A zero operand (a single zero node) gives a fresh zero
// with Sign 1. Otherwise the result has la + lb - 1 nodes plus one for a
// non-zero final carry, which is normal form for normal operands.
void MulNum(Num a, Num b, Num& result)
{
    if (IsZeroNum(a) || IsZeroNum(b)) {
        result = NewSmall(0);
        return;
    }
    const Limbs x = ReadDigits(a);
    const Limbs y = ReadDigits(b);
    Limbs product(x.size() + y.size());
    limbs::Multiply(x.data(), x.size(), y.data(), y.size(), product.data());
    if (product.back() == 0)
        product.pop_back();
    const uint8_t sign = IsNegative(a) == IsNegative(b) ? kSignNonNegative : kSignNegative;
    result = BuildNum(product, sign);
}

// Rule of signs with k = 0 counted as non-negative. Meant for 1 <= |k| <= 10000;
// a larger factor still gives the exact product (the carry may then need more
// than one new node).
void MulBySmallInPlace(Num n, int32_t k)
{
    const bool negK = k < 0;
    const bool negN = IsNegative(n);
    n->Sign = negK == negN ? kSignNonNegative : kSignNegative;
    const uint64_t factor = negK ? static_cast<uint64_t>(-static_cast<int64_t>(k)) : static_cast<uint64_t>(k);
    uint64_t carry = 0;
    TDigitNode* top = n;
    for (TDigitNode* node = n; node; node = node->Higher) {
        const uint64_t t = static_cast<uint64_t>(node->Digit) * factor + carry;
        node->Digit = static_cast<int32_t>(t % kBase);
        carry = t / kBase;
        top = node;
    }
    while (carry != 0) {
        auto* node = new TDigitNode{kSignNonNegative, static_cast<int32_t>(carry % kBase), nullptr, top};
        top->Higher = node;
        top = node;
        carry /= kBase;
    }
}

void SquareNum(Num a, Num& result)
{
    MulNum(a, a, result);
}

void DivBySmall(Num n, Num& q, int32_t d, int32_t& r)
{
    uint32_t divisor = 0;
    if (!AcceptSmallDivisor(d, divisor))
        return;
    Limbs digits = ReadDigits(n);
    const uint32_t remainder = limbs::DivSmallInPlace(digits, divisor);
    limbs::Trim(digits);
    q = BuildNum(digits, kSignNonNegative);
    r = static_cast<int32_t>(remainder);
}

// The pieces are written over the digits from the top down, then zero top
// nodes are released; the bottom node and its Sign stay.
void DivBySmallInPlace(Num& n, int32_t d, int32_t& r)
{
    uint32_t divisor = 0;
    if (!AcceptSmallDivisor(d, divisor))
        return;
    uint32_t remainder = 0;
    for (TDigitNode* node = TopOf(n); node; node = node->Lower) {
        const uint32_t v = remainder * kBase + static_cast<uint32_t>(node->Digit);
        node->Digit = static_cast<int32_t>(v / divisor);
        remainder = v % divisor;
    }
    TrimChain(n);
    r = static_cast<int32_t>(remainder);
}

void ModBySmall(Num n, int32_t d, int32_t& r)
{
    uint32_t divisor = 0;
    if (!AcceptSmallDivisor(d, divisor))
        return;
    uint32_t remainder = 0;
    for (const TDigitNode* node = TopOf(n); node; node = node->Lower)
        remainder = (remainder * kBase + static_cast<uint32_t>(node->Digit)) % divisor;
    r = static_cast<int32_t>(remainder);
}

// Both outputs are built before either is handed over, so a failed allocation
// leaves q and r untouched.
void DivModNum(Num a, Num b, Num& q, Num& r)
{
    Limbs quotient;
    Limbs remainder;
    uint8_t quotientSign = kSignNonNegative;
    EuclideanDivide(a, b, &quotient, quotientSign, remainder);
    OwnedNum newQuotient(BuildNum(quotient, quotientSign));
    OwnedNum newRemainder(BuildNum(remainder, kSignNonNegative));
    q = newQuotient.release();
    r = newRemainder.release();
}

void ModNum(Num a, Num b, Num& r)
{
    Limbs remainder;
    uint8_t unusedSign = kSignNonNegative;
    EuclideanDivide(a, b, nullptr, unusedSign, remainder);
    r = BuildNum(remainder, kSignNonNegative);
}

void NumToBinary(Num n, std::string& result)
{
    result = limbs::ToBinary(ReadMagnitude(n));
}

void BinaryToNum(std::string_view text, Num& result)
{
    const Limbs digits = limbs::FromBinary(text);
    result = BuildNum(digits, kSignNonNegative);
}

} // namespace GInt
