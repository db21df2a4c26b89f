// Speed of the big-number operations that dominate key generation and the
// line cipher: modular power at RSA size, long division and multiplication.
#include "bignum/GInt.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

namespace {

using GInt::Num;
using GInt::OwnedNum;

// A number of exactly `bits` binary digits (top bit set), fixed by the seed.
OwnedNum RandomBits(int bits, unsigned seed)
{
    std::mt19937 engine(seed);
    std::string text = "1";
    for (int i = 1; i < bits; ++i)
        text.push_back(static_cast<char>('0' + (engine() & 1)));
    OwnedNum n;
    GInt::BinaryToNum(text, n.out());
    return n;
}

// A number of exactly `nodes` base-10000 digits.
OwnedNum RandomNodes(int nodes, unsigned seed)
{
    std::mt19937 engine(seed);
    std::string text = std::to_string(1 + engine() % 9);
    for (int i = 1; i < nodes * 4; ++i)
        text.push_back(static_cast<char>('0' + engine() % 10));
    OwnedNum n;
    GInt::DecimalToNum(text, n.out());
    return n;
}

void BM_PowerMod194(benchmark::State& state)
{
    const OwnedNum modulus = RandomBits(194, 1);
    const OwnedNum exponent = RandomBits(194, 2);
    const OwnedNum base = RandomBits(193, 3);
    for (auto _ : state) {
        OwnedNum r;
        GInt::PowerMod(base.get(), exponent.get(), modulus.get(), r.out());
        benchmark::DoNotOptimize(r.get());
    }
}
BENCHMARK(BM_PowerMod194)->Unit(benchmark::kMicrosecond);

void BM_ModNum30By15(benchmark::State& state)
{
    const OwnedNum a = RandomNodes(30, 4);
    const OwnedNum b = RandomNodes(15, 5);
    for (auto _ : state) {
        OwnedNum r;
        GInt::ModNum(a.get(), b.get(), r.out());
        benchmark::DoNotOptimize(r.get());
    }
}
BENCHMARK(BM_ModNum30By15)->Unit(benchmark::kMicrosecond);

void BM_DivModNum30By15(benchmark::State& state)
{
    const OwnedNum a = RandomNodes(30, 6);
    const OwnedNum b = RandomNodes(15, 7);
    for (auto _ : state) {
        OwnedNum q;
        OwnedNum r;
        GInt::DivModNum(a.get(), b.get(), q.out(), r.out());
        benchmark::DoNotOptimize(q.get());
    }
}
BENCHMARK(BM_DivModNum30By15)->Unit(benchmark::kMicrosecond);

void BM_MulNum15By15(benchmark::State& state)
{
    const OwnedNum a = RandomNodes(15, 8);
    const OwnedNum b = RandomNodes(15, 9);
    for (auto _ : state) {
        OwnedNum r;
        GInt::MulNum(a.get(), b.get(), r.out());
        benchmark::DoNotOptimize(r.get());
    }
}
BENCHMARK(BM_MulNum15By15)->Unit(benchmark::kMicrosecond);

} // namespace
