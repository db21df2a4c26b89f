#include "primes/PrimeGeneration.h"
#include "tests/support/propertyseed.h"
#include "tests/support/fixedclock.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using GInt::OwnedNum;
using PrimeGeneration::RandomState;

bool TrialDivision(std::string_view decimal)
{
    const OwnedNum n = Number(decimal);
    bool passed = false;
    PrimeGeneration::PassesTrialDivision(n.get(), passed);
    return passed;
}

bool RabinMiller(std::string_view decimal, int32_t rounds)
{
    const OwnedNum n = Number(decimal);
    bool passed = false;
    PrimeGeneration::RabinMillerRounds(n.get(), rounds, passed);
    return passed;
}

bool ProbablyPrime(std::string_view decimal)
{
    const OwnedNum n = Number(decimal);
    bool passed = true;
    PrimeGeneration::IsProbablePrime(n.get(), 5, passed);
    return passed;
}

std::string NextPrimeOf(std::string_view decimal)
{
    OwnedNum n = Number(decimal);
    PrimeGeneration::NextPrime(n.out());
    return Decimal(n.get());
}

uint32_t Advanced(uint32_t state, int draws)
{
    while (draws-- > 0)
        state = state * 134775813u + 1u;
    return state;
}

__extension__ typedef unsigned __int128 Wide;

// Deterministic Miller-Rabin for 64-bit numbers: the first twelve primes as bases.
bool Reference64IsPrime(uint64_t n)
{
    const uint64_t bases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
    if (n < 2)
        return false;
    for (const uint64_t p : bases)
        if (n % p == 0)
            return n == p;
    auto mulMod = [n](uint64_t a, uint64_t b) { return static_cast<uint64_t>(static_cast<Wide>(a) * b % n); };
    uint64_t m = n - 1;
    int s = 0;
    while (m % 2 == 0) {
        m /= 2;
        ++s;
    }
    for (const uint64_t a : bases) {
        uint64_t x = 1, base = a, e = m;
        for (; e; e >>= 1, base = mulMod(base, base))
            if (e & 1)
                x = mulMod(x, base);
        if (x == 1 || x == n - 1)
            continue;
        bool reached = false;
        for (int i = 1; i < s && !reached; ++i) {
            x = mulMod(x, x);
            reached = x == n - 1;
        }
        if (!reached)
            return false;
    }
    return true;
}

TEST(TrialDivision, Examples)
{
    for (const char* rejected : {"0", "2", "3", "5", "25", "9973", "10001", "-0", "20014", "99999999999999999995"})
        EXPECT_FALSE(TrialDivision(rejected)) << rejected;
    for (const char* accepted : {"1", "10007", "100140049", "-10007", "1000000000039"})
        EXPECT_TRUE(TrialDivision(accepted)) << accepted;
    // A factor met only at the end of the table: 9973 * 10007.
    EXPECT_FALSE(TrialDivision("99799811"));
}

TEST(RabinMiller, AcceptsPrimesWhateverTheClock)
{
    const char* primes[] = {"10007", "10009", "1000003", "2147483647", "1000000000039",
                            "170141183460469231731687303715884105727", "618970019642690137449562111"};
    for (const int64_t ms : {0LL, 1LL, 8726299LL, 43200000LL, 86399999LL}) {
        const FixedClock clock(ms);
        for (const char* prime : primes)
            EXPECT_TRUE(RabinMiller(prime, 5)) << prime << " at " << ms;
    }
}

TEST(RabinMiller, RejectsCompositesThatPassTrialDivision)
{
    // 10007^2, 10007 * 10009, and the Carmichael number 10831 * 21661 * 32491.
    const char* composites[] = {"100140049", "100160063", "7622722964881"};
    for (const int64_t ms : {0LL, 777LL, 8726299LL, 86399999LL}) {
        const FixedClock clock(ms);
        for (const char* composite : composites) {
            EXPECT_TRUE(TrialDivision(composite)) << composite;
            EXPECT_FALSE(RabinMiller(composite, 5)) << composite << " at " << ms;
            EXPECT_FALSE(ProbablyPrime(composite)) << composite << " at " << ms;
        }
    }
}

TEST(RabinMiller, ReseedsFromTheClockBeforeTheFirstRound)
{
    const FixedClock clock(4242);
    RandomState = 99;
    EXPECT_TRUE(RabinMiller("10007", 0));
    EXPECT_EQ(RandomState, 4242u) << "no round, no draw, but a fresh seed";
    EXPECT_TRUE(RabinMiller("100140049", -3));
    EXPECT_EQ(RandomState, 4242u);

    RandomState = 99;
    EXPECT_TRUE(RabinMiller("1000003", 5));
    EXPECT_EQ(RandomState, Advanced(4242, 5)) << "a prime passes five rounds, one draw each";
    EXPECT_TRUE(RabinMiller("1000003", 3));
    EXPECT_EQ(RandomState, Advanced(4242, 3));
}

TEST(RabinMiller, RefusesNumbersItCannotTest)
{
    const FixedClock clock(1);
    for (const char* n : {"0", "1", "-1", "-0", "2", "10008", "-10007"}) {
        RandomState = 77;
        EXPECT_FALSE(RabinMiller(n, 5)) << n;
        EXPECT_EQ(RandomState, 77u) << n;
    }
    // Zero, one and negatives are not prime, and never reach the rounds.
    for (const char* n : {"0", "-0", "1", "-1", "-7", "-10007"})
        EXPECT_FALSE(ProbablyPrime(n)) << n;
    EXPECT_TRUE(ProbablyPrime("10007"));
    EXPECT_FALSE(ProbablyPrime("9973")) << "table entries fail their own division";
}

TEST(NextPrime, StartsAround10007)
{
    const FixedClock clock(123);
    for (int start = 0; start <= 40; ++start)
        EXPECT_EQ(NextPrimeOf(std::to_string(start)), "10007") << start;
    for (int start = 9960; start <= 10005; ++start)
        EXPECT_EQ(NextPrimeOf(std::to_string(start)), "10007") << start;
    EXPECT_EQ(NextPrimeOf("10006"), "10009");
    EXPECT_EQ(NextPrimeOf("10007"), "10009") << "the start itself is never tested";
    EXPECT_EQ(NextPrimeOf("10008"), "10037") << "the start plus one is skipped for an even start";
    EXPECT_EQ(NextPrimeOf("0000000000"), "10007");
    // A negative start searches from zero.
    EXPECT_EQ(NextPrimeOf("-0"), "10007");
    EXPECT_EQ(NextPrimeOf("-1"), "10007");
    EXPECT_EQ(NextPrimeOf("-123456789012345678901234567890"), "10007");
}

TEST(NextPrime, MatchesAReferenceSearchOn64BitStarts)
{
    std::mt19937_64 random(PropertySeed("NextPrime.MatchesAReferenceSearchOn64BitStarts"));
    for (int i = 0; i < 60; ++i) {
        const FixedClock clock(static_cast<int64_t>(random() % 86400000));
        const uint64_t start = random() >> (2 + random() % 40);
        uint64_t expected = (start | 1) + 2;
        while (!(expected >= 10007 && Reference64IsPrime(expected)))
            expected += 2;
        ASSERT_EQ(NextPrimeOf(std::to_string(start)), std::to_string(expected)) << "start " << start;
    }
}

TEST(NextPrime, LargeStart)
{
    // 2^127 - 1 is prime; the search from 2^127 - 3 lands on it.
    const FixedClock clock(8726299);
    EXPECT_EQ(NextPrimeOf("170141183460469231731687303715884105725"),
              "170141183460469231731687303715884105727");
}

} // namespace
