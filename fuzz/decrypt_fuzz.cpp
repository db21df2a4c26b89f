// DecryptLine on what a hostile peer controls: the chunk, the exponent and
// the modulus. The first input byte picks one of two modes.
//
// Hostile mode: exponent and modulus of up to 1024 binary digits and a chunk
// of up to 16 KiB, all from the input, either sign. The outcome (a line, or
// the message of RSA::ECipherError) must be that of the same block loop worked
// out with GMP; anything else, and every sanitizer report, is a finding.
// The chunk is shortened so that one
// run stays within a fixed amount of arithmetic (blocks * exponent bits *
// modulus nodes^2), which keeps a run well below the fuzzer's timeout without
// cutting the largest key sizes out.
//
// Round-trip mode: two primes and an exponent made from the input give a key
// pair (GMP finds the primes and the inverse); every line encrypts
// deterministically and decrypts back to itself.
#include "bignum/GInt.h"
#include "cipher/RSA.h"
#include "tests/support/gmpcheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using GmpCheck::Mpz;

constexpr size_t MaxChunkBytes = 16 * 1024;
constexpr size_t MaxKeyBytes = 128; // 1024 binary digits
constexpr double WorkBudget = 7.0e6;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "decrypt_fuzz: %s\n", what.c_str());
    std::abort();
}

Mpz FromBytes(const std::vector<uint8_t>& bytes)
{
    Mpz v;
    if (!bytes.empty())
        mpz_import(v.v, bytes.size(), 1, 1, 0, 0, bytes.data());
    return v;
}

// DecryptLine's block loop on GMP integers: the outcome as "line: <bytes>" or
// "error: <message>".
std::string ReferenceDecrypt(const std::string& chunk, const Mpz& exponent, const Mpz& modulus)
{
    Mpz e, m;
    mpz_abs(e.v, exponent.v);
    mpz_abs(m.v, modulus.v);
    const size_t k = mpz_sizeinbase(m.v, 2);
    if (k < 2)
        return "error: The key's modulus is too small: it must have at least two binary digits";
    std::string bits = RSA::TextToBits(chunk);
    bits.erase(0, std::min(bits.size(), bits.find('1')));
    bits.insert(0, (k - bits.size() % k) % k, '0');
    std::string plain;
    Mpz c, p;
    for (size_t start = 0; start < bits.size(); start += k) {
        mpz_set_str(c.v, bits.substr(start, k).c_str(), 2);
        if (mpz_sgn(e.v) == 0)
            mpz_set_ui(p.v, 1);
        else
            mpz_powm(p.v, c.v, e.v, m.v);
        std::string digits(mpz_sizeinbase(p.v, 2) + 2, '\0');
        mpz_get_str(digits.data(), 2, p.v);
        digits.resize(digits.find('\0'));
        plain += std::string((k - 1 - digits.size() % (k - 1)) % (k - 1), '0') + digits;
    }
    const size_t marker = plain.find("111");
    if (marker == std::string::npos)
        return "error: The received line cannot be decrypted";
    return "line: " + RSA::BitsToText(plain.substr(marker + 3));
}

void HostileMode(FuzzedDataProvider& in)
{
    const uint8_t signs = in.ConsumeIntegral<uint8_t>();
    Mpz modulus = FromBytes(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, MaxKeyBytes)));
    Mpz exponent = FromBytes(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, MaxKeyBytes)));
    std::string chunk = in.ConsumeBytesAsString(MaxChunkBytes);
    if (signs & 1)
        mpz_neg(modulus.v, modulus.v);
    if (signs & 2)
        mpz_neg(exponent.v, exponent.v);

    const double modulusBits = static_cast<double>(mpz_sizeinbase(modulus.v, 2));
    const double nodes = static_cast<double>(mpz_sizeinbase(modulus.v, 10)) / 4.0 + 1.0;
    const double perBlock = (static_cast<double>(mpz_sizeinbase(exponent.v, 2)) + 1.0) * nodes * nodes;
    const double blocks = WorkBudget / perBlock;
    if (blocks < 1.0)
        return;
    const double maxBytes = blocks * (modulusBits + 1.0) / 8.0;
    if (static_cast<double>(chunk.size()) > maxBytes)
        chunk.resize(static_cast<size_t>(maxBytes));

    const GInt::OwnedNum e = GmpCheck::MakeNum(exponent, signs & 4);
    const GInt::OwnedNum m = GmpCheck::MakeNum(modulus, signs & 8);
    const GmpCheck::Snapshot eBefore = GmpCheck::Take(e.get());
    const GmpCheck::Snapshot mBefore = GmpCheck::Take(m.get());
    std::string outcome;
    try {
        outcome = "line: " + RSA::DecryptLine(chunk, e.get(), m.get());
    } catch (const RSA::ECipherError& error) {
        outcome = std::string("error: ") + error.what();
    } catch (const std::exception& ex) {
        Fail(std::string("unexpected exception: ") + ex.what());
    }
    if (!(GmpCheck::Take(e.get()) == eBefore) || !(GmpCheck::Take(m.get()) == mBefore))
        Fail("DecryptLine changed its key");
    if (outcome != ReferenceDecrypt(chunk, exponent, modulus))
        Fail("DecryptLine disagrees with GMP for a chunk of " + std::to_string(chunk.size()) + " bytes, n="
             + modulus.text() + " e=" + exponent.text());
}

void RoundTripMode(FuzzedDataProvider& in)
{
    const unsigned long pStart = in.ConsumeIntegralInRange<uint64_t>(2, 1ull << 40);
    const unsigned long qStart = in.ConsumeIntegralInRange<uint64_t>(2, 1ull << 40);
    const unsigned long eStart = in.ConsumeIntegralInRange<uint64_t>(3, 1ull << 40);
    const std::string line = in.ConsumeRandomLengthString(160);
    const GmpCheck::TextbookKey key = GmpCheck::MakeTextbookKey(pStart, qStart, eStart);
    const Mpz& n = key.n;
    const Mpz& e = key.e;
    const Mpz& d = key.d;

    const GInt::OwnedNum gn = GmpCheck::MakeNum(n);
    const GInt::OwnedNum ge = GmpCheck::MakeNum(e);
    const GInt::OwnedNum gd = GmpCheck::MakeNum(d);
    const std::string keyText = "n=" + n.text() + " e=" + e.text() + " d=" + d.text();
    try {
        const std::string cipher = RSA::EncryptLine(line, ge.get(), gn.get());
        if (RSA::EncryptLine(line, ge.get(), gn.get()) != cipher)
            Fail("EncryptLine is not deterministic, " + keyText);
        const size_t k = mpz_sizeinbase(n.v, 2);
        const size_t blocks = (3 + 8 * line.size() + k - 2) / (k - 1);
        if (cipher.size() > (blocks * k + 7) / 8)
            Fail("ciphertext longer than its blocks, " + keyText);
        const std::string back = RSA::DecryptLine(cipher, gd.get(), gn.get());
        if (back != line)
            Fail("line of " + std::to_string(line.size()) + " bytes did not survive, " + keyText);
    } catch (const std::exception& ex) {
        Fail(std::string("round trip raised: ") + ex.what() + ", " + keyText);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        RoundTripMode(in);
    else
        HostileMode(in);
    return 0;
}
