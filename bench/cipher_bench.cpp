// Line encryption and decryption under fixed keys, and under the largest key a
// hostile peer can send, with GMP doing the same modular powers as yardstick.
#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "primes/PrimeGeneration.h"
#include "primes/keypair_p.h"

#include <benchmark/benchmark.h>
#include <gmp.h>

#include <optional>
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

// A hostile key: a 1,024-bit modulus (odd, or even when asked) and the
// exponent two below it; both come from a fixed seed.
struct HostileKey {
    explicit HostileKey(bool even)
    {
        std::mt19937 random(1024);
        std::string bits = "1";
        for (int i = 1; i < 1023; ++i)
            bits.push_back(random() & 1 ? '1' : '0');
        bits.push_back(even ? '0' : '1');
        GInt::BinaryToNum(bits, modulus.out());
        const GInt::OwnedNum two = [] {
            GInt::OwnedNum n;
            GInt::DecimalToNum("2", n.out());
            return n;
        }();
        GInt::SubNum(modulus.get(), two.get(), exponent.out());
    }
    GInt::OwnedNum modulus, exponent;
};

// 16 KiB of random bytes: 128 blocks of 1,024 binary digits under the hostile key.
void BM_DecryptLine_16KiB_Hostile1024(benchmark::State& state)
{
    const HostileKey key(state.range(0) != 0);
    const std::string chunk = RandomLine(16384);
    for (auto _ : state) {
        std::optional<std::string> line;
        try {
            line = RSA::DecryptLine(chunk, key.exponent.get(), key.modulus.get());
        } catch (const RSA::ECipherError&) {
        }
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_DecryptLine_16KiB_Hostile1024)->ArgName("even")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// GMP's share of the same work: the 128 modular powers alone.
void BM_GmpPowm_128Blocks_Hostile1024(benchmark::State& state)
{
    const HostileKey key(false);
    std::string text;
    mpz_t m, e, block, r;
    GInt::NumToDecimal(text, key.modulus.get());
    mpz_init_set_str(m, text.c_str(), 10);
    GInt::NumToDecimal(text, key.exponent.get());
    mpz_init_set_str(e, text.c_str(), 10);
    mpz_init(block);
    mpz_init(r);
    const std::string chunk = RandomLine(16384);
    for (auto _ : state) {
        for (size_t start = 0; start < chunk.size(); start += 128) {
            mpz_import(block, 128, 1, 1, 0, 0, chunk.data() + start);
            mpz_mod(block, block, m);
            mpz_powm(r, block, e, m);
        }
        benchmark::DoNotOptimize(r[0]._mp_d);
    }
    mpz_clear(m);
    mpz_clear(e);
    mpz_clear(block);
    mpz_clear(r);
}
BENCHMARK(BM_GmpPowm_128Blocks_Hostile1024)->Unit(benchmark::kMillisecond);

} // namespace
