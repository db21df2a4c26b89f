#include "bignum/montgomery.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <utility>

namespace GInt::montgomery {

namespace {

__extension__ typedef unsigned __int128 DoubleWord;

using words::BitAt;
using words::BitLength;
using words::kWordBits;
using words::Trim;
constexpr size_t kLargestFixed = 16; // words: 1,024-bit moduli

// r := a * b * R^-1 mod m for a, b < m (CIOS). Each of the n steps adds one
// row a * b[i] into t, then adds the multiple mu * m that clears t's lowest
// word and shifts t down one word; t stays below 2m, so one conditional
// subtraction ends it. r may be a or b. N is the word count when known at
// compile time (0: run-time count n, with scratch of n + 2 words).
template <size_t N>
void MultiplyReduce(Word* r, const Word* a, const Word* b, const Word* m, Word inverse, size_t dynamicCount,
                    Word* scratch)
{
    constexpr bool fixed = N != 0;
    const size_t n = fixed ? N : dynamicCount;
    Word local[fixed ? N + 2 : 1];
    Word* t = fixed ? local : scratch;
    for (size_t j = 0; j < n + 2; ++j)
        t[j] = 0;
    for (size_t i = 0; i < n; ++i) {
        const Word bi = b[i];
        Word carry = 0;
        for (size_t j = 0; j < n; ++j) {
            const DoubleWord s = static_cast<DoubleWord>(a[j]) * bi + t[j] + carry;
            t[j] = static_cast<Word>(s);
            carry = static_cast<Word>(s >> kWordBits);
        }
        DoubleWord s = static_cast<DoubleWord>(t[n]) + carry;
        t[n] = static_cast<Word>(s);
        t[n + 1] = static_cast<Word>(s >> kWordBits);

        const Word mu = t[0] * inverse;
        s = static_cast<DoubleWord>(mu) * m[0] + t[0];
        carry = static_cast<Word>(s >> kWordBits);
        for (size_t j = 1; j < n; ++j) {
            s = static_cast<DoubleWord>(mu) * m[j] + t[j] + carry;
            t[j - 1] = static_cast<Word>(s);
            carry = static_cast<Word>(s >> kWordBits);
        }
        s = static_cast<DoubleWord>(t[n]) + carry;
        t[n - 1] = static_cast<Word>(s);
        t[n] = t[n + 1] + static_cast<Word>(s >> kWordBits);
    }
    // t - m into r; keep it unless it borrowed out of a t below m.
    Word borrow = 0;
    for (size_t j = 0; j < n; ++j) {
        const DoubleWord d = static_cast<DoubleWord>(t[j]) - m[j] - borrow;
        r[j] = static_cast<Word>(d);
        borrow = static_cast<Word>(d >> kWordBits) & 1;
    }
    if (t[n] == 0 && borrow != 0)
        std::copy(t, t + n, r);
}

// r := a * a * R^-1 mod m for a < m (SOS: the whole square first, then the
// reduction). The square takes each product a[i] * a[j] (i < j) once, doubles
// their sum and adds the squares a[i]^2: n(n+1)/2 multiplications instead of
// n^2. The reduction then clears one low word per step with mu * m; the result
// is below 2m, so one conditional subtraction ends it. r may be a. Scratch:
// 2n + 1 words when N is 0.
template <size_t N>
void SquareReduce(Word* r, const Word* a, const Word* m, Word inverse, size_t dynamicCount, Word* scratch)
{
    constexpr bool fixed = N != 0;
    const size_t n = fixed ? N : dynamicCount;
    Word local[fixed ? 2 * N + 1 : 1];
    Word* p = fixed ? local : scratch;
    for (size_t k = 0; k < 2 * n + 1; ++k)
        p[k] = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        Word carry = 0;
        for (size_t j = i + 1; j < n; ++j) {
            const DoubleWord s = static_cast<DoubleWord>(a[i]) * a[j] + p[i + j] + carry;
            p[i + j] = static_cast<Word>(s);
            carry = static_cast<Word>(s >> kWordBits);
        }
        p[i + n] = carry;
    }
    Word shifted = 0;
    for (size_t k = 0; k < 2 * n; ++k) {
        const Word word = p[k];
        p[k] = word << 1 | shifted;
        shifted = word >> (kWordBits - 1);
    }
    Word carry = 0;
    for (size_t i = 0; i < n; ++i) {
        const DoubleWord s = static_cast<DoubleWord>(a[i]) * a[i] + p[2 * i] + carry;
        p[2 * i] = static_cast<Word>(s);
        const DoubleWord high = static_cast<DoubleWord>(p[2 * i + 1]) + static_cast<Word>(s >> kWordBits);
        p[2 * i + 1] = static_cast<Word>(high);
        carry = static_cast<Word>(high >> kWordBits);
    }

    // Each row's carry out of word i + n goes into word i + n + 1, which the
    // next row adds its own carry to; after the last row it is word 2n.
    Word extra = 0;
    for (size_t i = 0; i < n; ++i) {
        const Word mu = p[i] * inverse;
        carry = 0;
        for (size_t j = 0; j < n; ++j) {
            const DoubleWord s = static_cast<DoubleWord>(mu) * m[j] + p[i + j] + carry;
            p[i + j] = static_cast<Word>(s);
            carry = static_cast<Word>(s >> kWordBits);
        }
        const DoubleWord s = static_cast<DoubleWord>(p[i + n]) + carry + extra;
        p[i + n] = static_cast<Word>(s);
        extra = static_cast<Word>(s >> kWordBits);
    }
    const Word* t = p + n;
    Word borrow = 0;
    for (size_t j = 0; j < n; ++j) {
        const DoubleWord d = static_cast<DoubleWord>(t[j]) - m[j] - borrow;
        r[j] = static_cast<Word>(d);
        borrow = static_cast<Word>(d >> kWordBits) & 1;
    }
    if (extra == 0 && borrow != 0)
        std::copy(t, t + n, r);
}

// x := 2x mod m for x < m, over n words.
void DoubleModulo(Word* x, const Word* m, size_t n)
{
    Word carry = 0;
    for (size_t j = 0; j < n; ++j) {
        const Word next = x[j] >> (kWordBits - 1);
        x[j] = x[j] << 1 | carry;
        carry = next;
    }
    bool atLeastM = carry != 0;
    if (!atLeastM) {
        atLeastM = true;
        for (size_t j = n; j-- > 0;) {
            if (x[j] != m[j]) {
                atLeastM = x[j] > m[j];
                break;
            }
        }
    }
    if (!atLeastM)
        return;
    // 2x - m < m, so the wrap-around of the top bit cancels the carry.
    Word borrow = 0;
    for (size_t j = 0; j < n; ++j) {
        const DoubleWord d = static_cast<DoubleWord>(x[j]) - m[j] - borrow;
        x[j] = static_cast<Word>(d);
        borrow = static_cast<Word>(d >> kWordBits) & 1;
    }
}

size_t WindowBits(size_t exponentBits)
{
    if (exponentBits <= 8)
        return 1;
    if (exponentBits <= 24)
        return 2;
    if (exponentBits <= 80)
        return 3;
    if (exponentBits <= 240)
        return 4;
    if (exponentBits <= 672)
        return 5;
    return 6;
}

// Left-to-right sliding-window exponentiation in Montgomery form.
template <size_t N>
Words PowerWith(const Words& modulus, Word inverse, const Words& rSquared, const Words& base, const Words& exponent)
{
    const size_t n = modulus.size();
    const Word* m = modulus.data();
    std::vector<Word> scratch(N == 0 ? 2 * n + 2 : 0);
    auto multiply = [&](Word* r, const Word* a, const Word* b) {
        MultiplyReduce<N>(r, a, b, m, inverse, n, scratch.data());
    };
    auto square = [&](Word* r, const Word* a) { SquareReduce<N>(r, a, m, inverse, n, scratch.data()); };

    const size_t bits = BitLength(exponent);
    const size_t window = WindowBits(bits);
    const size_t tableSize = size_t{1} << (window - 1);
    // table holds base^1, base^3, ..., base^(2^window - 1) in Montgomery form.
    std::vector<Word> table(tableSize * n);
    std::vector<Word> word(n, 0);
    std::copy(base.begin(), base.begin() + static_cast<ptrdiff_t>(std::min(base.size(), n)), word.begin());
    multiply(table.data(), word.data(), rSquared.data());
    if (tableSize > 1) {
        square(word.data(), table.data());
        for (size_t i = 1; i < tableSize; ++i)
            multiply(table.data() + i * n, table.data() + (i - 1) * n, word.data());
    }

    std::vector<Word> acc(n, 0);
    bool started = false;
    size_t top = bits; // bits still to scan: positions top-1 down to 0
    while (top > 0) {
        const size_t high = top - 1;
        if (!BitAt(exponent, high)) {
            square(acc.data(), acc.data());
            top = high;
            continue;
        }
        size_t low = high + 1 >= window ? high + 1 - window : 0;
        while (!BitAt(exponent, low))
            ++low;
        size_t value = 0;
        for (size_t k = high + 1; k-- > low;)
            value = value << 1 | (BitAt(exponent, k) ? 1 : 0);
        const Word* odd = table.data() + (value >> 1) * n;
        if (started) {
            for (size_t k = low; k <= high; ++k)
                square(acc.data(), acc.data());
            multiply(acc.data(), acc.data(), odd);
        } else {
            std::copy(odd, odd + n, acc.begin());
            started = true;
        }
        top = low;
    }

    // Out of Montgomery form: multiply by plain 1.
    std::fill(word.begin(), word.end(), 0);
    word[0] = 1;
    Words result(n);
    multiply(result.data(), acc.data(), word.data());
    Trim(result);
    return result;
}

// r[0..w) := the low w words of a[0..w) * b[0..w); r may be a or b.
void MultiplyLow(Word* r, const Word* a, const Word* b, size_t w, std::vector<Word>& scratch)
{
    scratch.assign(w, 0);
    for (size_t i = 0; i < w; ++i) {
        Word carry = 0;
        for (size_t j = 0; i + j < w; ++j) {
            const DoubleWord s = static_cast<DoubleWord>(a[i]) * b[j] + scratch[i + j] + carry;
            scratch[i + j] = static_cast<Word>(s);
            carry = static_cast<Word>(s >> kWordBits);
        }
    }
    std::copy(scratch.begin(), scratch.end(), r);
}

// Clears every bit of x from position `bits` up.
void KeepLowBits(Words& x, size_t bits)
{
    x.resize((bits + kWordBits - 1) / kWordBits, 0);
    if (bits % kWordBits != 0)
        x.back() &= (Word{1} << (bits % kWordBits)) - 1;
}

// base^exponent mod 2^bits by left-to-right square-and-multiply on products
// cut to `bits` bits; bits >= 1, exponent not zero.
Words PowerModuloPowerOfTwo(Words base, const Words& exponent, size_t bits)
{
    KeepLowBits(base, bits);
    const size_t w = base.size();
    std::vector<Word> scratch;
    Words result = base;
    for (size_t position = BitLength(exponent) - 1; position-- > 0;) {
        MultiplyLow(result.data(), result.data(), result.data(), w, scratch);
        if (BitAt(exponent, position))
            MultiplyLow(result.data(), result.data(), base.data(), w, scratch);
    }
    KeepLowBits(result, bits);
    return result;
}

// q^-1 mod 2^bits for odd q: Newton's iteration x := x(2 - qx), which doubles
// the number of correct low bits, from the inverse of q's lowest word.
Words InverseModuloPowerOfTwo(Words q, size_t bits)
{
    KeepLowBits(q, bits);
    const size_t w = q.size();
    Word x0 = q[0];
    for (int step = 0; step < 5; ++step)
        x0 *= 2 - q[0] * x0;
    Words x(w, 0);
    x[0] = x0;
    std::vector<Word> scratch;
    Words y(w);
    for (size_t correct = kWordBits; correct < w * kWordBits; correct *= 2) {
        MultiplyLow(y.data(), q.data(), x.data(), w, scratch);
        // y := 2 - y modulo 2^(64w), which is ~y + 3.
        Word carry = 3;
        for (Word& word : y) {
            const DoubleWord s = static_cast<DoubleWord>(~word) + carry;
            word = static_cast<Word>(s);
            carry = static_cast<Word>(s >> kWordBits);
        }
        MultiplyLow(x.data(), x.data(), y.data(), w, scratch);
    }
    KeepLowBits(x, bits);
    return x;
}

template <size_t... Ns>
Words PowerDispatch(std::index_sequence<Ns...>, const Words& modulus, Word inverse, const Words& rSquared,
                    const Words& base, const Words& exponent)
{
    using Power = Words (*)(const Words&, Word, const Words&, const Words&, const Words&);
    static constexpr Power kernels[] = {&PowerWith<Ns>...};
    const size_t n = modulus.size();
    return kernels[n < std::size(kernels) ? n : 0](modulus, inverse, rSquared, base, exponent);
}

} // namespace


OddModulus::OddModulus(Words modulus) : modulus_(std::move(modulus))
{
    Trim(modulus_);
    assert(modulus_[0] % 2 == 1 && (modulus_.size() > 1 || modulus_[0] >= 3));
    const size_t n = modulus_.size();
    const Word* m = modulus_.data();

    // Newton's iteration x := x(2 - m0 x) doubles the correct low bits; m0 is
    // its own inverse modulo 8, so five steps reach 96 > 64 bits.
    Word x = m[0];
    for (int step = 0; step < 5; ++step)
        x *= 2 - m[0] * x;
    inverse_ = 0 - x;

    // R mod m from the top bit of m by doubling; R^2 mod m is R * R mod m,
    // reached as the Montgomery form of 2^(64n): double R mod m (the form of
    // 1) n more times to get the form of 2^n, then square six times.
    const size_t bits = BitLength(modulus_);
    rSquared_.assign(n, 0);
    Word* r = rSquared_.data();
    r[(bits - 1) / kWordBits] = Word{1} << ((bits - 1) % kWordBits);
    for (size_t step = bits - 1; step < n * kWordBits + n; ++step)
        DoubleModulo(r, m, n);
    std::vector<Word> scratch(2 * n + 2);
    for (int step = 0; step < 6; ++step)
        SquareReduce<0>(r, r, m, inverse_, n, scratch.data());
}

Words OddModulus::Power(const Words& base, const Words& exponent) const
{
    if (BitLength(exponent) == 0)
        return Words{1};
    return PowerDispatch(std::make_index_sequence<kLargestFixed + 1>(), modulus_, inverse_, rSquared_, base,
                         exponent);
}

Words PowerEvenModulus(const Words& base, const Words& exponent, const Words& modulus)
{
    if (BitLength(exponent) == 0)
        return Words{1};
    size_t twos = 0;
    while (!BitAt(modulus, twos))
        ++twos;
    Words odd(modulus.size(), 0);
    for (size_t position = twos; position < BitLength(modulus); ++position)
        if (BitAt(modulus, position))
            odd[(position - twos) / kWordBits] |= Word{1} << ((position - twos) % kWordBits);
    Trim(odd);

    Words low = PowerModuloPowerOfTwo(base, exponent, twos);
    if (odd.size() == 1 && odd[0] == 1) {
        Trim(low);
        return low;
    }
    limbs::Limbs reducedDigits;
    limbs::DivMod(words::ToDigits(base), words::ToDigits(odd), nullptr, reducedDigits);
    const Words high = OddModulus(odd).Power(words::FromDigits(reducedDigits), exponent);

    // x = high + odd * h with h = (low - high) * odd^-1 mod 2^twos, so that
    // x = high (mod odd), x = low (mod 2^twos) and x < odd * 2^twos.
    Words difference = low;
    Word borrow = 0;
    for (size_t i = 0; i < difference.size(); ++i) {
        const DoubleWord d = static_cast<DoubleWord>(difference[i]) - (i < high.size() ? high[i] : 0) - borrow;
        difference[i] = static_cast<Word>(d);
        borrow = static_cast<Word>(d >> kWordBits) & 1;
    }
    KeepLowBits(difference, twos);
    const Words inverse = InverseModuloPowerOfTwo(odd, twos);
    std::vector<Word> scratch;
    Words h(difference.size());
    MultiplyLow(h.data(), difference.data(), inverse.data(), h.size(), scratch);
    KeepLowBits(h, twos);

    Words x(odd.size() + h.size() + 1, 0);
    for (size_t i = 0; i < odd.size(); ++i) {
        Word carry = 0;
        for (size_t j = 0; j < h.size(); ++j) {
            const DoubleWord s = static_cast<DoubleWord>(odd[i]) * h[j] + x[i + j] + carry;
            x[i + j] = static_cast<Word>(s);
            carry = static_cast<Word>(s >> kWordBits);
        }
        x[i + h.size()] = carry;
    }
    Word carry = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        const DoubleWord s = static_cast<DoubleWord>(x[i]) + (i < high.size() ? high[i] : 0) + carry;
        x[i] = static_cast<Word>(s);
        carry = static_cast<Word>(s >> kWordBits);
    }
    Trim(x);
    return x;
}

} // namespace GInt::montgomery
