#include "bignum/limbs.h"

#include <algorithm>

namespace GInt::limbs {

namespace {

// Remainder of a trimmed x by a fixed modulus m >= 1, with m's normalisation
// for long division worked out once. Used for the many reductions of PowerMod.
class Reducer {
public:
    explicit Reducer(const Limbs& modulus);
    // x[0..len) mod m; the digits need not be trimmed.
    Limbs Reduce(const uint32_t* x, size_t len);

private:
    Limbs modulus_;
    Limbs normalized_; // modulus * factor_, top digit >= kBase / 2
    uint32_t factor_ = 1;
    Limbs work_;
};

// Knuth's algorithm D on a normalised divisor v (n >= 2 digits, top digit at
// least kBase / 2). u holds the shifted dividend with one spare top digit
// (m + n + 1 digits). Each quotient digit is estimated from the top two digits
// of the running remainder and the top digit of v, corrected with the second
// digit of v (after which it is at most one too large) and, rarely, by adding
// v back. Afterwards u[0..n) is the (still shifted) remainder; q, if given,
// receives the m + 1 quotient digits.
void DivideNormalized(uint32_t* u, size_t uLength, const uint32_t* v, size_t n, uint32_t* q)
{
    const size_t m = uLength - n - 1;
    const uint64_t vTop = v[n - 1];
    const uint64_t vNext = v[n - 2];
    for (size_t j = m + 1; j-- > 0;) {
        const uint64_t head = static_cast<uint64_t>(u[j + n]) * kBase + u[j + n - 1];
        uint64_t qhat = head / vTop;
        uint64_t rhat = head % vTop;
        while (qhat >= kBase || qhat * vNext > rhat * kBase + u[j + n - 2]) {
            --qhat;
            rhat += vTop;
            if (rhat >= kBase)
                break;
        }
        uint64_t carry = 0;
        int64_t borrow = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t p = qhat * v[i] + carry;
            carry = p / kBase;
            int64_t t = static_cast<int64_t>(u[i + j]) - static_cast<int64_t>(p % kBase) - borrow;
            borrow = t < 0 ? 1 : 0;
            if (t < 0)
                t += kBase;
            u[i + j] = static_cast<uint32_t>(t);
        }
        const int64_t top = static_cast<int64_t>(u[j + n]) - static_cast<int64_t>(carry) - borrow;
        if (top < 0) {
            // qhat was one too large: add v back; the top digit becomes zero.
            --qhat;
            uint32_t c = 0;
            for (size_t i = 0; i < n; ++i) {
                uint32_t s = u[i + j] + v[i] + c;
                c = s >= kBase ? 1 : 0;
                if (c)
                    s -= kBase;
                u[i + j] = s;
            }
            u[j + n] = 0;
        } else {
            u[j + n] = static_cast<uint32_t>(top);
        }
        if (q)
            q[j] = static_cast<uint32_t>(qhat);
    }
}

// out[0..len + 1) := x[0..len) * k for k < kBase.
void MultiplySmall(const uint32_t* x, size_t len, uint32_t k, uint32_t* out)
{
    uint32_t carry = 0;
    for (size_t i = 0; i < len; ++i) {
        const uint32_t t = x[i] * k + carry;
        out[i] = t % kBase;
        carry = t / kBase;
    }
    out[len] = carry;
}

Reducer::Reducer(const Limbs& modulus) : modulus_(modulus)
{
    const size_t n = modulus_.size();
    if (n < 2)
        return;
    factor_ = kBase / (modulus_[n - 1] + 1);
    normalized_.resize(n + 1);
    MultiplySmall(modulus_.data(), n, factor_, normalized_.data());
    normalized_.pop_back(); // zero: the top digit stays below kBase
}

Limbs Reducer::Reduce(const uint32_t* x, size_t len)
{
    while (len > 1 && x[len - 1] == 0)
        --len;
    const size_t n = modulus_.size();
    if (n == 1) {
        uint32_t r = 0;
        for (size_t i = len; i-- > 0;)
            r = (r * kBase + x[i]) % modulus_[0];
        return Limbs{r};
    }
    if (len < n)
        return Limbs(x, x + len);
    work_.resize(len + 1);
    MultiplySmall(x, len, factor_, work_.data());
    DivideNormalized(work_.data(), work_.size(), normalized_.data(), n, nullptr);
    Limbs r(work_.begin(), work_.begin() + static_cast<ptrdiff_t>(n));
    DivSmallInPlace(r, factor_);
    Trim(r);
    return r;
}

} // namespace

void Trim(Limbs& x)
{
    while (x.size() > 1 && x.back() == 0)
        x.pop_back();
}

bool IsZero(const Limbs& x)
{
    return std::all_of(x.begin(), x.end(), [](uint32_t d) { return d == 0; });
}

int CompareByLength(const Limbs& x, const Limbs& y)
{
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    for (size_t i = x.size(); i-- > 0;) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

Limbs AddDigits(const Limbs& x, const Limbs& y)
{
    const Limbs& longer = x.size() >= y.size() ? x : y;
    const Limbs& shorter = x.size() >= y.size() ? y : x;
    Limbs sum(longer.size());
    uint32_t carry = 0;
    for (size_t i = 0; i < longer.size(); ++i) {
        uint32_t s = longer[i] + (i < shorter.size() ? shorter[i] : 0) + carry;
        carry = s >= kBase ? 1 : 0;
        if (carry)
            s -= kBase;
        sum[i] = s;
    }
    if (carry)
        sum.push_back(1);
    return sum;
}

Limbs SubtractDigits(const Limbs& x, const Limbs& y)
{
    Limbs difference(x.size());
    int32_t borrow = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        int32_t d = static_cast<int32_t>(x[i]) - static_cast<int32_t>(i < y.size() ? y[i] : 0) - borrow;
        borrow = d < 0 ? 1 : 0;
        if (d < 0)
            d += kBase;
        difference[i] = static_cast<uint32_t>(d);
    }
    return difference;
}

void AddSmall(Limbs& x, uint32_t k)
{
    uint32_t carry = k;
    for (size_t i = 0; i < x.size() && carry; ++i) {
        const uint32_t s = x[i] + carry;
        x[i] = s % kBase;
        carry = s / kBase;
    }
    if (carry)
        x.push_back(carry);
}

// Column sums of the digit products are gathered in 64 bits (each product is
// below 10^8, so billions fit) and carried once at the end.
void Multiply(const uint32_t* a, size_t na, const uint32_t* b, size_t nb, uint32_t* out)
{
    std::vector<uint64_t> columns(na + nb, 0);
    for (size_t i = 0; i < na; ++i) {
        const uint64_t ai = a[i];
        uint64_t* column = columns.data() + i;
        for (size_t j = 0; j < nb; ++j)
            column[j] += ai * b[j];
    }
    uint64_t carry = 0;
    for (size_t k = 0; k < na + nb; ++k) {
        const uint64_t t = columns[k] + carry;
        out[k] = static_cast<uint32_t>(t % kBase);
        carry = t / kBase;
    }
}

uint32_t DivSmallInPlace(Limbs& x, uint32_t d)
{
    uint32_t remainder = 0;
    for (size_t i = x.size(); i-- > 0;) {
        const uint32_t v = remainder * kBase + x[i];
        x[i] = v / d;
        remainder = v % d;
    }
    return remainder;
}

void DivMod(const Limbs& a, const Limbs& b, Limbs* q, Limbs& r)
{
    const size_t n = b.size();
    if (a.size() < n) {
        if (q)
            *q = Limbs{0};
        r = a;
        return;
    }
    if (n == 1) {
        Limbs quotient = a;
        const uint32_t remainder = DivSmallInPlace(quotient, b[0]);
        Trim(quotient);
        if (q)
            *q = std::move(quotient);
        r = Limbs{remainder};
        return;
    }
    const uint32_t factor = kBase / (b[n - 1] + 1);
    Limbs u(a.size() + 1);
    MultiplySmall(a.data(), a.size(), factor, u.data());
    Limbs v(n + 1);
    MultiplySmall(b.data(), n, factor, v.data());
    const size_t quotientLength = a.size() - n + 1;
    Limbs quotient(quotientLength);
    DivideNormalized(u.data(), u.size(), v.data(), n, quotient.data());
    Trim(quotient);
    r.assign(u.begin(), u.begin() + static_cast<ptrdiff_t>(n));
    DivSmallInPlace(r, factor);
    Trim(r);
    if (q)
        *q = std::move(quotient);
}

// Left-to-right square-and-multiply over the binary digits of the exponent;
// every product is reduced at once, so operands stay below the modulus.
Limbs PowerMod(const Limbs& base, const Limbs& exponent, const Limbs& modulus)
{
    if (modulus.size() == 1 && modulus[0] == 1)
        return Limbs{0};
    const std::string bits = ToBinary(exponent);
    Reducer reducer(modulus);
    Limbs result = base;
    Limbs product;
    for (size_t i = 1; i < bits.size(); ++i) {
        product.assign(2 * result.size(), 0);
        Multiply(result.data(), result.size(), result.data(), result.size(), product.data());
        result = reducer.Reduce(product.data(), product.size());
        if (bits[i] == '1') {
            product.assign(result.size() + base.size(), 0);
            Multiply(result.data(), result.size(), base.data(), base.size(), product.data());
            result = reducer.Reduce(product.data(), product.size());
        }
    }
    return result;
}

// Twelve bits at a time (4096 < kBase), least significant first, reversed at the end.
std::string ToBinary(const Limbs& x)
{
    Limbs rest = x;
    Trim(rest);
    std::string reversed;
    while (!IsZero(rest)) {
        uint32_t chunk = DivSmallInPlace(rest, 4096);
        Trim(rest);
        for (int k = 0; k < 12; ++k) {
            reversed.push_back(static_cast<char>('0' + (chunk & 1)));
            chunk >>= 1;
        }
    }
    while (reversed.size() > 1 && reversed.back() == '0')
        reversed.pop_back();
    if (reversed.empty())
        return "0";
    return std::string(reversed.rbegin(), reversed.rend());
}

// Horner's scheme, thirteen bits per step (8192 < kBase).
Limbs FromBinary(std::string_view text)
{
    Limbs value{0};
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t length = std::min<size_t>(13, text.size() - pos);
        uint32_t chunk = 0;
        for (size_t i = 0; i < length; ++i)
            chunk = (chunk << 1) | (text[pos + i] == '1' ? 1u : 0u);
        pos += length;
        const uint32_t factor = 1u << length;
        uint32_t carry = chunk;
        for (uint32_t& digit : value) {
            const uint32_t t = digit * factor + carry;
            digit = t % kBase;
            carry = t / kBase;
        }
        while (carry) {
            value.push_back(carry % kBase);
            carry /= kBase;
        }
    }
    return value;
}

} // namespace GInt::limbs
