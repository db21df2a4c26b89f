// Key-pair generation over fixed clock readings, so every run does the same work.
#include "primes/KeyPair.h"
#include "primes/PrimeGeneration.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace {

void FixClock(int64_t ms)
{
    const PrimeGeneration::TimeOfDay time{static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                                          static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
    PrimeGeneration::SetClockSource([time] { return time; });
}

// One iteration generates the keys of the 1,000 readings i * 86399 ms.
void BM_GenerateKeyPair_1000Readings(benchmark::State& state)
{
    double slowestMs = 0, totalBits = 0;
    for (auto _ : state) {
        PrimeGeneration::KeyPair pair;
        std::string d, n;
        slowestMs = 0;
        totalBits = 0;
        for (int64_t i = 0; i < 1000; ++i) {
            FixClock(i * 86399);
            const auto start = std::chrono::steady_clock::now();
            PrimeGeneration::GenerateKeyPair(pair, d, n);
            const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
            slowestMs = std::max(slowestMs, took.count());
            totalBits += static_cast<double>(GInt::BinaryLength(pair.Modulus));
        }
    }
    PrimeGeneration::SetClockSource({});
    state.counters["mean_per_key"] = benchmark::Counter(1000.0 * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["slowest_ms"] = slowestMs;
    state.counters["mean_bits"] = totalBits / 1000;
}
BENCHMARK(BM_GenerateKeyPair_1000Readings)->Unit(benchmark::kMillisecond)->Iterations(1);

// The reading 8726299 ms, whose seeds give a 194-bit modulus.
void BM_GenerateKeyPair_194Bit(benchmark::State& state)
{
    FixClock(8726299);
    PrimeGeneration::KeyPair pair;
    std::string d, n;
    for (auto _ : state)
        PrimeGeneration::GenerateKeyPair(pair, d, n);
    state.counters["modulus_bits"] = static_cast<double>(GInt::BinaryLength(pair.Modulus));
    PrimeGeneration::SetClockSource({});
}
BENCHMARK(BM_GenerateKeyPair_194Bit)->Unit(benchmark::kMillisecond);

} // namespace
