#include "primes/PrimeGeneration.h"

#include <chrono>
#include <string>
#include <utility>

namespace PrimeGeneration {

using GInt::Num;
using GInt::OwnedNum;

uint32_t RandomState = 0;

namespace {

constexpr std::array<int32_t, 1227> MakeSmallPrimes()
{
    constexpr int limit = 10000;
    std::array<bool, limit> composite{};
    std::array<int32_t, 1227> primes{};
    size_t count = 0;
    for (int i = 2; i < limit; ++i) {
        if (composite[i])
            continue;
        for (int multiple = i * i; multiple < limit; multiple += i)
            composite[multiple] = true;
        // 2 and 5 are tested on the lowest digit instead.
        if (i != 2 && i != 5)
            primes[count++] = i;
    }
    return primes;
}

std::function<TimeOfDay()>& ClockSource()
{
    static std::function<TimeOfDay()> source;
    return source;
}

TimeOfDay SystemTimeOfDay()
{
    using namespace std::chrono;
    // The system clock counts UTC without leap seconds, so whole days divide it evenly.
    const auto sinceMidnight = floor<milliseconds>(system_clock::now().time_since_epoch()) % days(1);
    const auto ms = static_cast<int>((sinceMidnight < milliseconds::zero() ? sinceMidnight + days(1)
                                                                           : sinceMidnight)
                                         .count());
    return {ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
}

// True when |n| < bound (bound < 10000); works on numbers carrying zero top nodes too.
bool MagnitudeBelow(Num n, int32_t bound)
{
    for (Num node = n->Higher; node; node = node->Higher)
        if (node->Digit != 0)
            return false;
    return GInt::LowestDigit(n) < bound;
}

Num MakeNum(int64_t value)
{
    Num n = nullptr;
    GInt::DecimalToNum(std::to_string(value), n);
    return n;
}

} // namespace

const std::array<int32_t, 1227> SmallPrimes = MakeSmallPrimes();

namespace {

// Trial division without dividing: for n = sum of d_k * 10000^k over at most
// kFoldedNodes digits, folded = sum of d_k * (10000^k mod p) is n mod p plus a
// multiple of p, below 2^30. For odd p, a 64-bit x is a multiple of p exactly
// when x * (p^-1 mod 2^64) wraps to at most (2^64 - 1) / p, so each prime
// costs a few multiplications instead of a division per node.
constexpr size_t kFoldedNodes = 8;

struct FoldingDivisor {
    std::array<uint64_t, kFoldedNodes> powers; // 10000^k mod p
    uint64_t inverse;                          // p^-1 mod 2^64
    uint64_t bound;                            // (2^64 - 1) / p
};

const std::array<FoldingDivisor, 1227>& FoldingDivisors()
{
    static const auto divisors = [] {
        std::array<FoldingDivisor, 1227> made{};
        for (size_t i = 0; i < SmallPrimes.size(); ++i) {
            const auto p = static_cast<uint64_t>(SmallPrimes[i]);
            FoldingDivisor& divisor = made[i];
            uint64_t power = 1;
            for (uint64_t& entry : divisor.powers) {
                entry = power;
                power = power * 10000 % p;
            }
            // Newton's iteration; p is its own inverse modulo 8.
            uint64_t inverse = p;
            for (int step = 0; step < 5; ++step)
                inverse *= 2 - p * inverse;
            divisor.inverse = inverse;
            divisor.bound = UINT64_MAX / p;
        }
        return made;
    }();
    return divisors;
}

} // namespace

void SetClockSource(std::function<TimeOfDay()> source)
{
    ClockSource() = std::move(source);
}

void SeedFromClock()
{
    const auto& source = ClockSource();
    const TimeOfDay now = source ? source() : SystemTimeOfDay();
    const int64_t ms = ((int64_t{now.Hour} * 60 + now.Minute) * 60 + now.Second) * 1000 + now.Millisecond;
    RandomState = static_cast<uint32_t>(ms);
}

int32_t RandomBelow(int32_t n)
{
    RandomState = RandomState * 134775813u + 1u;
    if (n <= 0)
        return 0;
    return static_cast<int32_t>((uint64_t{RandomState} * static_cast<uint64_t>(n)) >> 32);
}

void PassesTrialDivision(Num n, bool& passed)
{
    // 10000 is divisible by 2 and by 5, so the lowest digit decides both.
    const int32_t lowest = GInt::LowestDigit(n);
    passed = lowest % 2 != 0 && lowest % 5 != 0;
    if (!passed)
        return;

    std::array<uint64_t, kFoldedNodes> digits{};
    size_t count = 0;
    for (Num node = n; node && count <= kFoldedNodes; node = node->Higher)
        if (count++ < kFoldedNodes)
            digits[count - 1] = static_cast<uint64_t>(node->Digit);
    if (count > kFoldedNodes) {
        // Longer than the folding table: divide the chain itself.
        for (size_t i = 0; passed && i < SmallPrimes.size(); ++i) {
            int32_t remainder = 0;
            GInt::ModBySmall(n, SmallPrimes[i], remainder);
            passed = remainder != 0;
        }
        return;
    }
    const auto& divisors = FoldingDivisors();
    for (size_t i = 0; passed && i < SmallPrimes.size(); ++i) {
        const FoldingDivisor& divisor = divisors[i];
        uint64_t folded = 0;
        for (size_t k = 0; k < count; ++k)
            folded += digits[k] * divisor.powers[k];
        passed = folded * divisor.inverse > divisor.bound;
    }
}

// Writes n - 1 = 2^s * m with m odd, then runs up to `rounds` rounds, each with
// a base drawn from SmallPrimes: x = a^m mod n must be 1 or n - 1, or reach
// n - 1 within s - 1 squarings without passing through 1. The generator is
// reseeded from the clock right before the first round. Numbers that are not
// odd and at least 3 never pass (the halving of n - 1 = 0 would not end).
void RabinMillerRounds(Num n, int32_t rounds, bool& passed)
{
    passed = false;
    if (GInt::IsNegative(n) || GInt::LowestDigit(n) % 2 == 0 || MagnitudeBelow(n, 3))
        return;

    const OwnedNum one(MakeNum(1));
    OwnedNum nMinusOne;
    GInt::SubNum(n, one.get(), nMinusOne.out());
    OwnedNum m;
    GInt::CopyNum(nMinusOne.get(), m.out());
    int32_t s = 0;
    while (GInt::LowestDigit(m.get()) % 2 == 0) {
        int32_t remainder = 0;
        GInt::DivBySmallInPlace(m.out(), 2, remainder);
        ++s;
    }

    passed = true;
    SeedFromClock();
    for (int32_t round = 0; round < rounds && passed; ++round) {
        OwnedNum x;
        {
            const OwnedNum base(MakeNum(SmallPrimes[RandomBelow(static_cast<int32_t>(SmallPrimes.size()))]));
            GInt::PowerMod(base.get(), m.get(), n, x.out());
        }
        if (GInt::CompareAbs(x.get(), one.get()) == GInt::crEqual
            || GInt::CompareAbs(x.get(), nMinusOne.get()) == GInt::crEqual)
            continue;
        bool reachedMinusOne = false;
        for (int32_t squarings = 1; squarings < s && !reachedMinusOne; ++squarings) {
            OwnedNum squared;
            GInt::SquareMod(x.get(), n, squared.out());
            x = std::move(squared);
            if (GInt::CompareAbs(x.get(), nMinusOne.get()) == GInt::crEqual)
                reachedMinusOne = true;
            else if (GInt::CompareAbs(x.get(), one.get()) == GInt::crEqual)
                break;
        }
        passed = reachedMinusOne;
    }
}

void IsProbablePrime(Num n, int32_t rounds, bool& passed)
{
    // Zero, one and negative numbers are not prime; one would also pass trial division.
    if (GInt::IsNegative(n) || MagnitudeBelow(n, 2)) {
        passed = false;
        return;
    }
    PassesTrialDivision(n, passed);
    if (passed)
        RabinMillerRounds(n, rounds, passed);
}

void NextPrime(Num& n)
{
    if (GInt::IsNegative(n)) {
        // A negative start (negative zero included) searches from zero.
        GInt::FreeNum(n);
        n = MakeNum(0);
    }
    // An even lowest digit is at most 9998, so adding one carries nothing.
    if (GInt::LowestDigit(n) % 2 == 0)
        GInt::AdjustLowestDigit(n, 1);
    const OwnedNum two(MakeNum(2));
    bool passed = false;
    while (!passed) {
        Num candidate = nullptr;
        GInt::AddNum(n, two.get(), candidate);
        GInt::FreeNum(n);
        n = candidate;
        IsProbablePrime(n, 5, passed);
    }
}

} // namespace PrimeGeneration
