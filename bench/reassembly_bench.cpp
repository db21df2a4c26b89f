// What telling received messages apart costs, next to one DecryptLine of the
// same bytes: a 16 KiB line message arriving in 1,448-byte pieces (one TCP
// segment each), and two short line messages joined in one read. Keys of
// 194 binary digits (the largest size made here) and of 61.
#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "primes/PrimeGeneration.h"
#include "session/messageassembler.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <random>
#include <string>

namespace {

using namespace std::chrono_literals;

// A key pair made at a fixed time of day (194 or 61 binary digits).
const PrimeGeneration::KeyPair& KeyAt(int milliseconds)
{
    static std::map<int, PrimeGeneration::KeyPair> made;
    auto [pair, fresh] = made.try_emplace(milliseconds);
    if (fresh) {
        const int ms = milliseconds;
        PrimeGeneration::SetClockSource([ms] {
            return PrimeGeneration::TimeOfDay{ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
        });
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(pair->second, d, n);
        PrimeGeneration::SetClockSource({});
    }
    return pair->second;
}

const PrimeGeneration::KeyPair& KeyOf(const benchmark::State& state)
{
    return KeyAt(state.range(0) == 194 ? 8726299 : 1000);
}

// The longest line message of the key: printable text just under 16 KiB of ciphertext.
std::string LongestMessage(const PrimeGeneration::KeyPair& key)
{
    std::mt19937 random(1);
    std::string line, message;
    for (;;) {
        std::string longer = line;
        for (int i = 0; i < 64; ++i)
            longer += static_cast<char>(' ' + random() % 95);
        const std::string encrypted = RSA::EncryptLine(longer, key.EncryptExponent, key.Modulus);
        if (encrypted.size() > MessageAssembler::MaxLineMessage)
            return message;
        line = longer;
        message = encrypted;
    }
}

void Assemble(benchmark::State& state, const std::vector<std::string>& reads, std::size_t expected)
{
    const PrimeGeneration::KeyPair& key = KeyOf(state);
    for (auto _ : state) {
        MessageAssembler assembler;
        assembler.expectLines(key.DecryptExponent, key.Modulus);
        MessageAssembler::TimePoint now{};
        for (const std::string& read : reads) {
            assembler.append(read, now);
            now += 10ms;
        }
        assembler.finish(now + MessageAssembler::PauseTime);
        const auto messages = assembler.takeMessages();
        if (messages.size() != expected)
            state.SkipWithError("the messages did not come out as sent");
        state.counters["powers"] = static_cast<double>(assembler.powerMods());
        std::size_t bytes = 0;
        for (const std::string& read : reads)
            bytes += read.size();
        state.counters["powers_per_block"] =
            static_cast<double>(assembler.powerMods()) / (8.0 * bytes / GInt::BinaryLength(key.Modulus));
    }
}

void BM_Reassemble16KiBInSegments(benchmark::State& state)
{
    const std::string message = LongestMessage(KeyOf(state));
    std::vector<std::string> reads;
    for (std::size_t at = 0; at < message.size(); at += 1448)
        reads.push_back(message.substr(at, 1448));
    Assemble(state, reads, 1);
}

void BM_DecryptLine16KiB(benchmark::State& state)
{
    const PrimeGeneration::KeyPair& key = KeyOf(state);
    const std::string message = LongestMessage(key);
    for (auto _ : state)
        benchmark::DoNotOptimize(RSA::DecryptLine(message, key.DecryptExponent, key.Modulus));
}

void BM_ReassembleTwoShortLinesJoined(benchmark::State& state)
{
    const PrimeGeneration::KeyPair& key = KeyOf(state);
    Assemble(state,
             {RSA::EncryptLine("on my way", key.EncryptExponent, key.Modulus)
              + RSA::EncryptLine("see you at eight", key.EncryptExponent, key.Modulus)},
             2);
}

void BM_DecryptLineTwoShortLines(benchmark::State& state)
{
    const PrimeGeneration::KeyPair& key = KeyOf(state);
    const std::string first = RSA::EncryptLine("on my way", key.EncryptExponent, key.Modulus);
    const std::string second = RSA::EncryptLine("see you at eight", key.EncryptExponent, key.Modulus);
    for (auto _ : state) {
        benchmark::DoNotOptimize(RSA::DecryptLine(first, key.DecryptExponent, key.Modulus));
        benchmark::DoNotOptimize(RSA::DecryptLine(second, key.DecryptExponent, key.Modulus));
    }
}

// A stranger's 1,024-bit key (exponent two below the modulus) and 16 KiB of
// junk in segments: what the power budget lets it cost.
void BM_HostileKeyJunk16KiB(benchmark::State& state)
{
    std::mt19937_64 random(1);
    std::string bits(1024, '1');
    for (std::size_t i = 1; i < 1022; ++i)
        bits[i] = static_cast<char>('0' + random() % 2);
    GInt::OwnedNum modulus, exponent;
    GInt::BinaryToNum(bits, modulus.out());
    bits.replace(1022, 2, "01");
    GInt::BinaryToNum(bits, exponent.out());
    std::vector<std::string> reads;
    for (int i = 0; i < 12; ++i) {
        std::string read(1448, '\0');
        for (char& byte : read)
            byte = static_cast<char>(random());
        reads.push_back(read);
    }
    for (auto _ : state) {
        MessageAssembler assembler;
        assembler.expectLines(exponent.get(), modulus.get());
        MessageAssembler::TimePoint now{};
        for (const std::string& read : reads) {
            assembler.append(read, now);
            now += 1ms;
            while (const auto deadline = assembler.deadline()) {
                if (*deadline > now)
                    break;
                assembler.timePassed(*deadline);
            }
        }
        assembler.finish(now + MessageAssembler::GiveUpTime);
        state.counters["powers"] = static_cast<double>(assembler.powerMods());
        state.counters["powers_per_block"] = static_cast<double>(assembler.powerMods()) / (8.0 * 12 * 1448 / 1024);
    }
}

} // namespace

BENCHMARK(BM_HostileKeyJunk16KiB)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Reassemble16KiBInSegments)->Arg(194)->Arg(61)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecryptLine16KiB)->Arg(194)->Arg(61)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReassembleTwoShortLinesJoined)->Arg(194)->Arg(61)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecryptLineTwoShortLines)->Arg(194)->Arg(61)->Unit(benchmark::kMicrosecond);
