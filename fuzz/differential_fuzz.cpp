// Signed big-number operations against GMP on fuzzed operands. The input
// picks the operation, then up to three operands: each has a sign, may be a
// negative zero, and is read either as decimal digits (to reach runs of 9999
// and exact powers of 10000) or as raw bytes. The checks are those of
// GmpCheck::CheckOp; any disagreement aborts with a description.
#include "bignum/GInt.h"
#include "tests/support/gmpcheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using GmpCheck::Mpz;
using GmpCheck::Op;

// Decimal digits per operand. The modular power reaches moduli and exponents
// of 1,024 binary digits (309 decimal digits); the other modular operations get
// smaller operands so that a run stays short.
constexpr size_t MaxDigits = 240;
constexpr size_t MaxModularDigits = 80;
constexpr size_t MaxPowerDigits = 320;

GInt::OwnedNum Operand(FuzzedDataProvider& in, size_t maxDigits)
{
    const uint8_t form = in.ConsumeIntegral<uint8_t>();
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, maxDigits);
    Mpz v;
    if (form & 1) {
        std::string digits;
        for (const uint8_t byte : in.ConsumeBytes<uint8_t>(length))
            digits += static_cast<char>('0' + byte % 10);
        if (!digits.empty())
            mpz_set_str(v.v, digits.c_str(), 10);
    } else {
        // Raw bytes; about 2.4 decimal digits each.
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length * 5 / 12);
        if (!bytes.empty())
            mpz_import(v.v, bytes.size(), 1, 1, 0, 0, bytes.data());
    }
    if (form & 2)
        mpz_neg(v.v, v.v);
    return GmpCheck::MakeNum(v, form & 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const auto op = static_cast<Op>(in.ConsumeIntegralInRange<int>(0, static_cast<int>(Op::Count) - 1));
    const bool modular = op == Op::MulMod || op == Op::SquareMod || op == Op::PowerMod || op == Op::InverseMod;
    const size_t limit = op == Op::PowerMod ? MaxPowerDigits : modular ? MaxModularDigits : MaxDigits;
    const bool alias = in.ConsumeBool() && (op == Op::Mul || op == Op::DivMod || op == Op::Mod);

    GInt::OwnedNum a = Operand(in, limit);
    GInt::OwnedNum b = Operand(in, limit);
    GInt::OwnedNum c = Operand(in, limit);
    const std::string verdict = GmpCheck::CheckOp(op, a.get(), alias ? a.get() : b.get(), c.get());
    if (!verdict.empty()) {
        std::fprintf(stderr, "differential_fuzz: %s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
