// Speed of the big-number operations that dominate key generation and the
// line cipher: modular power at RSA size, long division and multiplication.
// GMP's mpz_powm runs on the same operands in the same run as the yardstick.
#include "bignum/GInt.h"
#include "bignum/words.h"

#include <benchmark/benchmark.h>
#include <gmp.h>

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

// Owns one GMP integer holding the value of a number.
class GmpValue {
public:
    explicit GmpValue(Num n)
    {
        std::string text;
        GInt::NumToDecimal(text, n);
        mpz_init_set_str(v, text.c_str(), 10);
    }
    GmpValue(const GmpValue&) = delete;
    GmpValue& operator=(const GmpValue&) = delete;
    ~GmpValue() { mpz_clear(v); }
    mpz_t v;
};

// Odd modulus of `bits` digits, exponent of the same length, base one digit shorter.
struct PowerOperands {
    explicit PowerOperands(int bits)
        : modulus(RandomBits(bits, 1)), exponent(RandomBits(bits, 2)), base(RandomBits(bits - 1, 3))
    {
        if (GInt::LowestDigit(modulus.get()) % 2 == 0)
            GInt::AdjustLowestDigit(modulus.get(), 1);
    }
    OwnedNum modulus, exponent, base;
};

void BM_PowerMod(benchmark::State& state)
{
    const PowerOperands operands(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        OwnedNum r;
        GInt::PowerMod(operands.base.get(), operands.exponent.get(), operands.modulus.get(), r.out());
        benchmark::DoNotOptimize(r.get());
    }
}
BENCHMARK(BM_PowerMod)->Arg(194)->Arg(1024)->Unit(benchmark::kMicrosecond);

void BM_GmpPowm(benchmark::State& state)
{
    const PowerOperands operands(static_cast<int>(state.range(0)));
    const GmpValue m(operands.modulus.get()), e(operands.exponent.get()), b(operands.base.get());
    mpz_t r;
    mpz_init(r);
    for (auto _ : state) {
        mpz_powm(r, b.v, e.v, m.v);
        benchmark::DoNotOptimize(r[0]._mp_d);
    }
    mpz_clear(r);
}
BENCHMARK(BM_GmpPowm)->Arg(194)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The even-modulus path, for comparison.
void BM_PowerModEvenModulus(benchmark::State& state)
{
    const PowerOperands operands(static_cast<int>(state.range(0)));
    GInt::AdjustLowestDigit(operands.modulus.get(), GInt::LowestDigit(operands.modulus.get()) == 9999 ? -1 : 1);
    for (auto _ : state) {
        OwnedNum r;
        GInt::PowerMod(operands.base.get(), operands.exponent.get(), operands.modulus.get(), r.out());
        benchmark::DoNotOptimize(r.get());
    }
}
BENCHMARK(BM_PowerModEvenModulus)->Arg(194)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The conversions PowerMod makes once per call, at 1,024 bits.
void BM_DigitsToWords1024(benchmark::State& state)
{
    const OwnedNum n = RandomBits(1024, 4);
    GInt::limbs::Limbs digits;
    for (GInt::TDigitNode* node = n.get(); node; node = node->Higher)
        digits.push_back(static_cast<uint32_t>(node->Digit));
    for (auto _ : state)
        benchmark::DoNotOptimize(GInt::words::FromDigits(digits));
}
BENCHMARK(BM_DigitsToWords1024)->Unit(benchmark::kMicrosecond);

void BM_WordsToDigits1024(benchmark::State& state)
{
    const OwnedNum n = RandomBits(1024, 5);
    std::string bits;
    GInt::NumToBinary(n.get(), bits);
    const GInt::words::Words words = GInt::words::FromBits(bits);
    for (auto _ : state)
        benchmark::DoNotOptimize(GInt::words::ToDigits(words));
}
BENCHMARK(BM_WordsToDigits1024)->Unit(benchmark::kMicrosecond);

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
