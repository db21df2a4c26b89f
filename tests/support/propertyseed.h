// The seed of a randomised test: VELMORA_TEST_SEED when set (to replay a
// failure), a fresh one otherwise. It is printed so every run can be repeated.
// GINT_TEST_SEED and VELMORA_DIFF_SEED, the names of earlier versions, are
// still read when VELMORA_TEST_SEED is not set.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

inline uint64_t PropertySeed(const std::string& testName)
{
    uint64_t seed = 0;
    const char* fixed = std::getenv("VELMORA_TEST_SEED");
    for (const char* legacy : {"GINT_TEST_SEED", "VELMORA_DIFF_SEED"})
        if (!fixed)
            fixed = std::getenv(legacy);
    if (fixed)
        seed = std::strtoull(fixed, nullptr, 10);
    else
        seed = (uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    std::cout << testName << ": VELMORA_TEST_SEED=" << seed << std::endl;
    return seed;
}
