#include "primes/KeyPair.h"

#include "primes/PrimeGeneration.h"
#include "primes/keypair_p.h"

#include <utility>

namespace PrimeGeneration {

using GInt::Num;
using GInt::OwnedNum;

namespace {

void Replace(Num& slot, Num n)
{
    GInt::FreeNum(slot);
    slot = n;
}

OwnedNum MakeNum(std::string_view text)
{
    OwnedNum n;
    GInt::DecimalToNum(text, n.out());
    return n;
}

} // namespace

KeyPair::~KeyPair()
{
    GInt::FreeNum(Modulus);
    GInt::FreeNum(EncryptExponent);
    GInt::FreeNum(DecryptExponent);
}

void KeyPair::ReplaceModulus(Num n)
{
    Replace(Modulus, n);
}

void KeyPair::ReplaceEncryptExponent(Num n)
{
    Replace(EncryptExponent, n);
}

void KeyPair::ReplaceDecryptExponent(Num n)
{
    Replace(DecryptExponent, n);
}

void RandomDigitString(std::string& text)
{
    const int32_t pieces = RandomBelow(3) + 1;
    for (int32_t i = 0; i < pieces; ++i)
        text += std::to_string(RandomBelow(2147483647));
}

namespace detail {

// p and q are the primes that follow the seeds; q moves on while it equals p,
// since n = p^2 with phi = (p-1)^2 would not decrypt what it encrypts.
// e is the first odd number from 65537 up that is prime to
// phi = (p-1)(q-1), and d its inverse modulo phi.
void GenerateKeyPairFromSeeds(KeyPair& pair, std::string_view seedP, std::string_view seedQ,
                              std::string& decryptText, std::string& modulusText)
{
    OwnedNum p = MakeNum(seedP);
    OwnedNum q = MakeNum(seedQ);
    NextPrime(p.out());
    NextPrime(q.out());
    while (GInt::CompareAbs(p.get(), q.get()) == GInt::crEqual)
        NextPrime(q.out());

    OwnedNum n;
    GInt::MulNum(p.get(), q.get(), n.out());
    // p and q are odd, so lowering the lowest digit by one borrows nothing.
    GInt::AdjustLowestDigit(p.get(), -1);
    GInt::AdjustLowestDigit(q.get(), -1);
    OwnedNum phi;
    GInt::MulNum(p.get(), q.get(), phi.out());
    p.reset();
    q.reset();

    OwnedNum e = MakeNum("65537");
    const OwnedNum one = MakeNum("1");
    const OwnedNum two = MakeNum("2");
    for (;;) {
        OwnedNum g;
        GInt::GcdNum(phi.get(), e.get(), g.out());
        if (GInt::CompareAbs(g.get(), one.get()) == GInt::crEqual)
            break;
        OwnedNum next;
        GInt::AddNum(e.get(), two.get(), next.out());
        e = std::move(next);
    }
    OwnedNum d;
    GInt::InverseMod(e.get(), phi.get(), d.out());

    std::string dText, nText;
    GInt::NumToDecimal(dText, d.get());
    GInt::NumToDecimal(nText, n.get());
    pair.ReplaceModulus(n.release());
    pair.ReplaceEncryptExponent(e.release());
    pair.ReplaceDecryptExponent(d.release());
    decryptText = std::move(dText);
    modulusText = std::move(nText);
}

} // namespace detail

void GenerateKeyPair(KeyPair& pair, std::string& decryptText, std::string& modulusText)
{
    SeedFromClock();
    std::string seedP, seedQ;
    RandomDigitString(seedP);
    RandomDigitString(seedQ);
    detail::GenerateKeyPairFromSeeds(pair, seedP, seedQ, decryptText, modulusText);
}

} // namespace PrimeGeneration
