#include "bignum/words.h"

#include <algorithm>
#include <cassert>

namespace GInt::words {

namespace {

__extension__ typedef unsigned __int128 DoubleWord;

size_t SignificantWords(const Words& x)
{
    size_t n = x.size();
    while (n > 0 && x[n - 1] == 0)
        --n;
    return n;
}

// x := x * factor + addend.
void MultiplyAdd(Words& x, Word factor, Word addend)
{
    Word carry = addend;
    for (Word& word : x) {
        const DoubleWord s = static_cast<DoubleWord>(word) * factor + carry;
        word = static_cast<Word>(s);
        carry = static_cast<Word>(s >> kWordBits);
    }
    if (carry != 0)
        x.push_back(carry);
}

} // namespace

void Trim(Words& x)
{
    while (x.size() > 1 && x.back() == 0)
        x.pop_back();
    if (x.empty())
        x.push_back(0);
}

bool BitAt(const Words& x, size_t position)
{
    assert(position < 64 * x.size());
    return (x[position / kWordBits] >> (position % kWordBits)) & 1;
}

Words FromDigits(const limbs::Limbs& digits)
{
    Words x;
    size_t i = digits.size();
    size_t take = i % 4 == 0 ? 4 : i % 4;
    while (i > 0) {
        Word group = 0;
        Word factor = 1;
        for (size_t k = 0; k < take && i > 0; ++k) {
            group = group * limbs::kBase + digits[--i];
            factor *= limbs::kBase;
        }
        MultiplyAdd(x, factor, group);
        take = 4;
    }
    Trim(x);
    return x;
}

limbs::Limbs ToDigits(const Words& x)
{
    constexpr uint64_t kChunk = 100000000; // 10^8: two base-10000 digits
    std::vector<uint32_t> halves;
    halves.reserve(2 * x.size());
    for (const Word word : x) {
        halves.push_back(static_cast<uint32_t>(word));
        halves.push_back(static_cast<uint32_t>(word >> 32));
    }
    size_t length = halves.size();
    while (length > 0 && halves[length - 1] == 0)
        --length;
    limbs::Limbs digits;
    while (length > 0) {
        uint64_t remainder = 0;
        for (size_t i = length; i-- > 0;) {
            const uint64_t v = remainder << 32 | halves[i];
            halves[i] = static_cast<uint32_t>(v / kChunk);
            remainder = v % kChunk;
        }
        digits.push_back(static_cast<uint32_t>(remainder % limbs::kBase));
        digits.push_back(static_cast<uint32_t>(remainder / limbs::kBase));
        while (length > 0 && halves[length - 1] == 0)
            --length;
    }
    if (digits.empty())
        digits.push_back(0);
    limbs::Trim(digits);
    return digits;
}

Words FromBits(std::string_view bits)
{
    Words x((bits.size() + kWordBits - 1) / kWordBits + 1, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] == '1') {
            const size_t position = bits.size() - 1 - i;
            x[position / kWordBits] |= Word{1} << (position % kWordBits);
        }
    }
    Trim(x);
    return x;
}

size_t BitLength(const Words& x)
{
    const size_t n = SignificantWords(x);
    if (n == 0)
        return 0;
    size_t bits = (n - 1) * kWordBits;
    for (Word top = x[n - 1]; top != 0; top >>= 1)
        ++bits;
    return bits;
}

void AppendBits(const Words& x, size_t unit, std::string& out)
{
    assert(unit >= 1);
    const size_t length = std::max<size_t>(BitLength(x), 1);
    const size_t padded = (length + unit - 1) / unit * unit;
    out.append(padded - length, '0');
    for (size_t position = length; position-- > 0;)
        out.push_back(BitAt(x, position) ? '1' : '0');
}

int Compare(const Words& x, const Words& y)
{
    const size_t nx = SignificantWords(x);
    const size_t ny = SignificantWords(y);
    if (nx != ny)
        return nx < ny ? -1 : 1;
    for (size_t i = nx; i-- > 0;) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

void SubtractInPlace(Words& x, const Words& y)
{
    assert(Compare(x, y) >= 0);
    Word borrow = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        const DoubleWord d = static_cast<DoubleWord>(x[i]) - (i < y.size() ? y[i] : 0) - borrow;
        x[i] = static_cast<Word>(d);
        borrow = static_cast<Word>(d >> kWordBits) & 1;
    }
    Trim(x);
}

} // namespace GInt::words
