// Helpers shared by the GInt tests: owned numbers from text, chain checks, and
// a signed 128-bit oracle whose sign flag can describe negative zero.
#pragma once

#include "bignum/GInt.h"
#include "tests/support/chaincheck.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace gint_test {

using GInt::Num;
using GInt::OwnedNum;

inline OwnedNum Make(const std::string& text)
{
    OwnedNum n;
    GInt::DecimalToNum(text, n.out());
    return n;
}

inline std::string Text(Num n)
{
    std::string text;
    GInt::NumToDecimal(text, n);
    return text;
}

// Digits bottom first.
inline std::vector<int32_t> Digits(Num n)
{
    std::vector<int32_t> digits;
    for (const GInt::TDigitNode* node = n; node; node = node->Higher)
        digits.push_back(node->Digit);
    return digits;
}

// The chain is sound and in normal form (see ChainCheck::ChainDefect).
inline testing::AssertionResult WellFormed(Num n)
{
    const std::string defect = ChainCheck::ChainDefect(n);
    if (defect.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << defect;
}

// Node addresses, digits and sign of a number, to show an operand unchanged.
using ChainCheck::Snapshot;

__extension__ typedef unsigned __int128 u128;

// A signed value with an explicit sign flag, so that negative zero exists.
struct Signed {
    bool negative = false;
    u128 magnitude = 0;
};

inline std::string ToDecimal(u128 v)
{
    if (v == 0)
        return "0";
    std::string text;
    while (v) {
        text.insert(text.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    }
    return text;
}

inline std::string ToDecimal(const Signed& s)
{
    return (s.negative ? "-" : "") + ToDecimal(s.magnitude);
}

inline OwnedNum Make(const Signed& s)
{
    return Make(ToDecimal(s));
}

// Seed of the property tests (tests/support/propertyseed.h), printed so that a
// failing run can be repeated.
uint64_t Seed();

class Random {
public:
    Random() : engine_(Seed()) {}
    // Uniform in 0..n-1.
    uint64_t Below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(engine_); }
    // A magnitude of 1..maxDigits decimal digits (leading zeros make shorter ones).
    u128 Magnitude(int maxDigits)
    {
        const int digits = 1 + static_cast<int>(Below(static_cast<uint64_t>(maxDigits)));
        u128 v = 0;
        for (int i = 0; i < digits; ++i)
            v = v * 10 + Below(10);
        // Boundary values around powers of 10000 catch carry and borrow faults.
        if (Below(8) == 0) {
            u128 power = 1;
            const int places = static_cast<int>(Below(static_cast<uint64_t>(maxDigits / 4 + 1)));
            for (int i = 0; i < places; ++i)
                power *= 10000;
            v = power - (Below(2) == 0 ? 1 : 0);
        }
        return v;
    }
    Signed Value(int maxDigits) { return Signed{Below(2) == 0, Magnitude(maxDigits)}; }

private:
    std::mt19937_64 engine_;
};

} // namespace gint_test
