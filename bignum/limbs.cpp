#include "bignum/limbs.h"

#include <algorithm>
#include <cassert>

namespace GInt::limbs {

namespace {

// Digit-array kernels for a radix B (10000, the chain digits). Every
// intermediate fits 64 bits for B <= 10^8.
template <uint64_t B>
struct Radix {
    // out[0..len + 1) := x[0..len) * k for k < B.
    static void MultiplySmall(const uint32_t* x, size_t len, uint64_t k, uint32_t* out)
    {
        uint64_t carry = 0;
        for (size_t i = 0; i < len; ++i) {
            const uint64_t t = x[i] * k + carry;
            out[i] = static_cast<uint32_t>(t % B);
            carry = t / B;
        }
        out[len] = static_cast<uint32_t>(carry);
    }

    // x[0..len) := floor(x / d), returning x mod d; 1 <= d < B.
    static uint32_t DivideSmall(uint32_t* x, size_t len, uint64_t d)
    {
        uint64_t remainder = 0;
        for (size_t i = len; i-- > 0;) {
            const uint64_t v = remainder * B + x[i];
            x[i] = static_cast<uint32_t>(v / d);
            remainder = v % d;
        }
        return static_cast<uint32_t>(remainder);
    }

    // Knuth's algorithm D on a normalised divisor v (n >= 2 digits, top digit
    // at least B / 2). u holds the shifted dividend with one spare top digit
    // (m + n + 1 digits). Each quotient digit is estimated from the top two
    // digits of the running remainder and the top digit of v, corrected with
    // the second digit of v (after which it is at most one too large) and,
    // rarely, by adding v back. Afterwards u[0..n) is the (still shifted)
    // remainder; q, if given, receives the m + 1 quotient digits.
    static void DivideNormalized(uint32_t* u, size_t uLength, const uint32_t* v, size_t n, uint32_t* q)
    {
        const size_t m = uLength - n - 1;
        const uint64_t vTop = v[n - 1];
        const uint64_t vNext = v[n - 2];
        for (size_t j = m + 1; j-- > 0;) {
            const uint64_t head = static_cast<uint64_t>(u[j + n]) * B + u[j + n - 1];
            uint64_t qhat = head / vTop;
            uint64_t rhat = head % vTop;
            while (qhat >= B || qhat * vNext > rhat * B + u[j + n - 2]) {
                --qhat;
                rhat += vTop;
                if (rhat >= B)
                    break;
            }
            uint64_t carry = 0;
            int64_t borrow = 0;
            for (size_t i = 0; i < n; ++i) {
                const uint64_t p = qhat * v[i] + carry;
                carry = p / B;
                int64_t t = static_cast<int64_t>(u[i + j]) - static_cast<int64_t>(p % B) - borrow;
                borrow = t < 0 ? 1 : 0;
                if (t < 0)
                    t += static_cast<int64_t>(B);
                u[i + j] = static_cast<uint32_t>(t);
            }
            const int64_t top = static_cast<int64_t>(u[j + n]) - static_cast<int64_t>(carry) - borrow;
            if (top < 0) {
                // qhat was one too large: add v back; the top digit becomes zero.
                --qhat;
                uint64_t c = 0;
                for (size_t i = 0; i < n; ++i) {
                    uint64_t s = static_cast<uint64_t>(u[i + j]) + v[i] + c;
                    c = s >= B ? 1 : 0;
                    if (c)
                        s -= B;
                    u[i + j] = static_cast<uint32_t>(s);
                }
                u[j + n] = 0;
            } else {
                u[j + n] = static_cast<uint32_t>(top);
            }
            if (q)
                q[j] = static_cast<uint32_t>(qhat);
        }
    }
};

using Chain = Radix<kBase>;

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
    assert(CompareByLength(x, y) >= 0);
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
    assert(k < kBase && !x.empty());
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
    assert(d >= 1 && d < kBase);
    return Chain::DivideSmall(x.data(), x.size(), d);
}

void DivMod(const Limbs& a, const Limbs& b, Limbs* q, Limbs& r)
{
    assert(!a.empty() && !IsZero(b));
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
    Chain::MultiplySmall(a.data(), a.size(), factor, u.data());
    Limbs v(n + 1);
    Chain::MultiplySmall(b.data(), n, factor, v.data());
    Limbs quotient(a.size() - n + 1);
    Chain::DivideNormalized(u.data(), u.size(), v.data(), n, quotient.data());
    Trim(quotient);
    r.assign(u.begin(), u.begin() + static_cast<ptrdiff_t>(n));
    DivSmallInPlace(r, factor);
    Trim(r);
    if (q)
        *q = std::move(quotient);
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
