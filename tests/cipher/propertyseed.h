// The seed of a randomised test: VELMORA_TEST_SEED when set (to replay a
// failure), a fresh one otherwise. It is printed so every run can be repeated.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

inline uint64_t PropertySeed(const std::string& testName)
{
    uint64_t seed = 0;
    if (const char* fixed = std::getenv("VELMORA_TEST_SEED"))
        seed = std::strtoull(fixed, nullptr, 10);
    else
        seed = (uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    std::cout << testName << ": VELMORA_TEST_SEED=" << seed << std::endl;
    return seed;
}
