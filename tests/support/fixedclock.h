// Test helpers: a clock that always reads one time of day, put back to the
// system clock when the guard goes, and owned numbers made from decimal text.
#pragma once

#include "bignum/GInt.h"
#include "primes/PrimeGeneration.h"

#include <cstdint>
#include <string>
#include <string_view>

class FixedClock {
public:
    explicit FixedClock(int64_t millisecondsSinceMidnight) { Set(millisecondsSinceMidnight); }
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;
    ~FixedClock() { PrimeGeneration::SetClockSource({}); }

    static void Set(int64_t ms)
    {
        const PrimeGeneration::TimeOfDay time{static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                                              static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
        PrimeGeneration::SetClockSource([time] { return time; });
    }
};

inline GInt::OwnedNum Number(std::string_view decimal)
{
    GInt::OwnedNum n;
    GInt::DecimalToNum(decimal, n.out());
    return n;
}

inline std::string Decimal(GInt::Num n)
{
    std::string text;
    GInt::NumToDecimal(text, n);
    return text;
}
