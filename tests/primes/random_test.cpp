#include "primes/PrimeGeneration.h"
#include "tests/support/fixedclock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

using PrimeGeneration::RandomBelow;
using PrimeGeneration::RandomState;
using PrimeGeneration::SmallPrimes;

TEST(RandomSource, DrawsFromStateZero)
{
    RandomState = 0;
    const int32_t expectedDraws[] = {0, 38, 1056, 248};
    const uint32_t expectedStates[] = {1, 134775814, 3698175007u, 870078620};
    const int32_t expectedBases[] = {3, 179, 8467, 1597};
    for (int i = 0; i < 4; ++i) {
        const int32_t draw = RandomBelow(1227);
        EXPECT_EQ(draw, expectedDraws[i]);
        EXPECT_EQ(RandomState, expectedStates[i]);
        EXPECT_EQ(SmallPrimes[draw], expectedBases[i]);
    }
}

TEST(RandomSource, NonPositiveBoundAdvancesAndGivesZero)
{
    RandomState = 0;
    EXPECT_EQ(RandomBelow(0), 0);
    EXPECT_EQ(RandomState, 1u);
    EXPECT_EQ(RandomBelow(-5), 0);
    EXPECT_EQ(RandomState, 134775814u);
    EXPECT_EQ(RandomBelow(INT32_MIN), 0);
    EXPECT_EQ(RandomState, 3698175007u);
}

TEST(RandomSource, TakesTheHighHalfOfTheProduct)
{
    // The states before 0xFFFFFFFF and before 0, through the inverse of the multiplier mod 2^32.
    const uint32_t multiplier = 134775813u;
    uint32_t inverse = multiplier;
    for (int i = 0; i < 5; ++i)
        inverse *= 2u - multiplier * inverse;
    ASSERT_EQ(multiplier * inverse, 1u);
    for (const int32_t n : {1, 2, 3, 1227, 2147483647}) {
        RandomState = (0xFFFFFFFFu - 1u) * inverse;
        EXPECT_EQ(RandomBelow(n), n - 1);
        RandomState = 0xFFFFFFFFu * inverse;
        EXPECT_EQ(RandomBelow(n), 0);
        EXPECT_EQ(RandomState, 0u);
    }
}

TEST(RandomSource, SeedFromClockCountsMillisecondsSinceMidnight)
{
    const FixedClock clock(86399999);
    PrimeGeneration::SeedFromClock();
    EXPECT_EQ(RandomState, 86399999u);
    FixedClock::Set(0);
    PrimeGeneration::SeedFromClock();
    EXPECT_EQ(RandomState, 0u);
    PrimeGeneration::SetClockSource([] { return PrimeGeneration::TimeOfDay{12, 34, 56, 789}; });
    PrimeGeneration::SeedFromClock();
    EXPECT_EQ(RandomState, 45296789u);
}

TEST(RandomSource, EmptyClockSourceReadsTheSystemClock)
{
    {
        FixedClock clock(5);
        PrimeGeneration::SeedFromClock();
        ASSERT_EQ(RandomState, 5u);
    }
    // The guard has restored the system clock.
    using namespace std::chrono;
    const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 86400000;
    PrimeGeneration::SeedFromClock();
    const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 86400000;
    EXPECT_LT(RandomState, 86400000u);
    if (before <= after) { // no midnight in between
        EXPECT_GE(RandomState, before);
        EXPECT_LE(RandomState, after);
    }
}

TEST(SmallPrimeTable, HoldsEveryPrimeBelow10000Except2And5)
{
    const int32_t first[] = {3, 7, 11, 13, 17, 19, 23, 29, 31, 37};
    const int32_t last[] = {9931, 9941, 9949, 9967, 9973};
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(SmallPrimes[i], first[i]);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(SmallPrimes[1222 + i], last[i]);

    int primesBelow10000 = 0;
    for (int32_t v = 2; v < 10000; ++v) {
        bool prime = true;
        for (int32_t f = 2; f * f <= v && prime; ++f)
            prime = v % f != 0;
        primesBelow10000 += prime;
    }
    ASSERT_EQ(primesBelow10000, 1229);

    for (size_t i = 0; i < SmallPrimes.size(); ++i) {
        const int32_t p = SmallPrimes[i];
        ASSERT_NE(p, 2);
        ASSERT_NE(p, 5);
        if (i > 0) {
            ASSERT_LT(SmallPrimes[i - 1], p);
        }
        for (int32_t f = 2; f * f <= p; ++f) {
            ASSERT_NE(p % f, 0) << p << " is not prime";
        }
    }
}

} // namespace
