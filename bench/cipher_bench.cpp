// Line encryption and decryption under fixed keys.
#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "primes/PrimeGeneration.h"
#include "primes/keypair_p.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

namespace {

// The key of the clock reading 8726299 ms (194-bit modulus).
const PrimeGeneration::KeyPair& Key194()
{
    static const PrimeGeneration::KeyPair& pair = [] () -> const PrimeGeneration::KeyPair& {
        static PrimeGeneration::KeyPair made;
        PrimeGeneration::SetClockSource([] { return PrimeGeneration::TimeOfDay{2, 25, 26, 299}; });
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(made, d, n);
        PrimeGeneration::SetClockSource({});
        return made;
    }();
    return pair;
}

// The largest key: both seeds are three pieces of 2147483646 (195-bit modulus).
const PrimeGeneration::KeyPair& Key195()
{
    static const PrimeGeneration::KeyPair& pair = [] () -> const PrimeGeneration::KeyPair& {
        static PrimeGeneration::KeyPair made;
        std::string d, n;
        PrimeGeneration::detail::GenerateKeyPairFromSeeds(made, "214748364621474836462147483646",
                                                          "214748364621474836462147483646", d, n);
        return made;
    }();
    return pair;
}

std::string RandomLine(size_t length)
{
    std::mt19937 random(static_cast<unsigned>(length));
    std::string line(length, '\0');
    for (char& c : line)
        c = static_cast<char>(random() & 0xff);
    return line;
}

void BM_EncryptLine_1000Bytes_194Bit(benchmark::State& state)
{
    const auto& key = Key194();
    const std::string line = RandomLine(1000);
    for (auto _ : state)
        benchmark::DoNotOptimize(RSA::EncryptLine(line, key.EncryptExponent, key.Modulus));
}
BENCHMARK(BM_EncryptLine_1000Bytes_194Bit)->Unit(benchmark::kMillisecond);

void BM_DecryptLine_1000Bytes_194Bit(benchmark::State& state)
{
    const auto& key = Key194();
    const std::string line = RandomLine(1000);
    const std::string chunk = RSA::EncryptLine(line, key.EncryptExponent, key.Modulus);
    if (RSA::DecryptLine(chunk, key.DecryptExponent, key.Modulus) != line)
        state.SkipWithError("the line did not come back");
    for (auto _ : state)
        benchmark::DoNotOptimize(RSA::DecryptLine(chunk, key.DecryptExponent, key.Modulus));
    state.counters["chunk_bytes"] = static_cast<double>(chunk.size());
}
BENCHMARK(BM_DecryptLine_1000Bytes_194Bit)->Unit(benchmark::kMillisecond);

// A genuine chunk of a little over 16 KiB: a line of 16320 bytes makes 674
// blocks of 195 binary digits.
void BM_DecryptLine_16KiB_195Bit(benchmark::State& state)
{
    const auto& key = Key195();
    const std::string line = RandomLine(16320);
    const std::string chunk = RSA::EncryptLine(line, key.EncryptExponent, key.Modulus);
    if (chunk.size() < 16384 || RSA::DecryptLine(chunk, key.DecryptExponent, key.Modulus) != line)
        state.SkipWithError("not a 16 KiB chunk of the line");
    for (auto _ : state)
        benchmark::DoNotOptimize(RSA::DecryptLine(chunk, key.DecryptExponent, key.Modulus));
    state.counters["chunk_bytes"] = static_cast<double>(chunk.size());
}
BENCHMARK(BM_DecryptLine_16KiB_195Bit)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
