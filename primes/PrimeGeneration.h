// The program's random source and its prime search: a clock-seeded linear
// congruential generator, trial division by the primes below 10000 and
// randomised Rabin-Miller rounds.
#pragma once

#include "bignum/GInt.h"

#include <array>
#include <cstdint>
#include <functional>

namespace PrimeGeneration {

// A UTC time of day.
struct TimeOfDay {
    int Hour, Minute, Second, Millisecond;
};

// Replaces the clock SeedFromClock reads; an empty function restores the system clock.
void SetClockSource(std::function<TimeOfDay()> source);

// The generator's state, shared by every draw in the process; 0 at start.
extern uint32_t RandomState;

// The 1227 primes below 10000 other than 2 and 5, ascending.
extern const std::array<int32_t, 1227> SmallPrimes;

// Sets RandomState to the milliseconds since UTC midnight.
void SeedFromClock();
// Advances RandomState and returns a value in 0..n-1 (0 when n <= 0).
int32_t RandomBelow(int32_t n);
// passed := n is odd, not divisible by 5 nor by any entry of SmallPrimes.
void PassesTrialDivision(GInt::Num n, bool& passed);
// passed := odd n >= 3 survives up to `rounds` Rabin-Miller rounds with bases from SmallPrimes.
// Reseeds from the clock before the first round; false without drawing for any other n.
void RabinMillerRounds(GInt::Num n, int32_t rounds, bool& passed);
// Trial division, then Rabin-Miller rounds for the survivors; false for n below 2.
void IsProbablePrime(GInt::Num n, int32_t rounds, bool& passed);
// Replaces n (the old chain is released) by the first odd candidate above it
// that passes 5 rounds, starting at n made odd plus 2; a negative start counts as 0.
void NextPrime(GInt::Num& n);

} // namespace PrimeGeneration
