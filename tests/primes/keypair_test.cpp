#include "primes/KeyPair.h"
#include "primes/PrimeGeneration.h"
#include "primes/keypair_p.h"
#include "tests/support/propertyseed.h"
#include "tests/support/fixedclock.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using GInt::Num;
using GInt::OwnedNum;
using PrimeGeneration::KeyPair;
using PrimeGeneration::RandomState;

OwnedNum Binary(std::string_view bits)
{
    OwnedNum n;
    GInt::BinaryToNum(bits, n.out());
    return n;
}

std::string BinaryOf(Num n)
{
    std::string bits;
    GInt::NumToBinary(n, bits);
    return bits;
}

bool Equal(Num a, Num b)
{
    return GInt::CompareAbs(a, b) == GInt::crEqual && a->Sign == b->Sign;
}

OwnedNum Product(Num a, Num b)
{
    OwnedNum r;
    GInt::MulNum(a, b, r.out());
    return r;
}

OwnedNum Remainder(Num a, Num m)
{
    OwnedNum r;
    GInt::ModNum(a, m, r.out());
    return r;
}

OwnedNum Power(Num a, Num e, Num m)
{
    OwnedNum r;
    GInt::PowerMod(a, e, m, r.out());
    return r;
}

OwnedNum Gcd(Num a, Num b)
{
    OwnedNum g;
    GInt::GcdNum(a, b, g.out());
    return g;
}

// A random value of fewer binary digits than n, so below n.
OwnedNum RandomBelowModulus(std::mt19937_64& random, Num n)
{
    const size_t bits = BinaryOf(n).size() - 1;
    std::string text(bits, '0');
    for (char& c : text)
        c = (random() & 1) ? '1' : '0';
    return Binary(text);
}

// Checks a pair against the primes it should be made of: n = p*q, e the first
// odd number from 65537 prime to phi, e*d = 1 mod phi, 0 < d < phi.
void ExpectPairOf(const KeyPair& pair, std::string_view pText, std::string_view qText)
{
    const OwnedNum p = Number(pText), q = Number(qText);
    const OwnedNum one = Number("1"), two = Number("2");
    EXPECT_TRUE(Equal(pair.Modulus, Product(p.get(), q.get()).get()));

    OwnedNum pMinusOne, qMinusOne;
    GInt::SubNum(p.get(), one.get(), pMinusOne.out());
    GInt::SubNum(q.get(), one.get(), qMinusOne.out());
    const OwnedNum phi = Product(pMinusOne.get(), qMinusOne.get());

    EXPECT_EQ(GInt::CompareAbs(Gcd(phi.get(), pair.EncryptExponent).get(), one.get()), GInt::crEqual);
    OwnedNum candidate = Number("65537");
    while (GInt::CompareAbs(candidate.get(), pair.EncryptExponent) == GInt::crLess) {
        EXPECT_NE(GInt::CompareAbs(Gcd(phi.get(), candidate.get()).get(), one.get()), GInt::crEqual)
            << "a smaller exponent " << Decimal(candidate.get()) << " was prime to phi";
        OwnedNum next;
        GInt::AddNum(candidate.get(), two.get(), next.out());
        candidate = std::move(next);
    }
    EXPECT_TRUE(Equal(candidate.get(), pair.EncryptExponent)) << "e is not odd from 65537 on";

    const OwnedNum ed = Product(pair.EncryptExponent, pair.DecryptExponent);
    EXPECT_EQ(Decimal(Remainder(ed.get(), phi.get()).get()), "1");
    EXPECT_EQ(pair.DecryptExponent->Sign, 1);
    EXPECT_EQ(GInt::CompareAbs(pair.DecryptExponent, phi.get()), GInt::crLess);
}

void ExpectRoundTrips(const KeyPair& pair, std::mt19937_64& random, int count)
{
    for (int i = 0; i < count; ++i) {
        const OwnedNum m = RandomBelowModulus(random, pair.Modulus);
        const OwnedNum c = Power(m.get(), pair.EncryptExponent, pair.Modulus);
        const OwnedNum back = Power(c.get(), pair.DecryptExponent, pair.Modulus);
        ASSERT_EQ(Decimal(back.get()), Decimal(m.get())) << "n = " << Decimal(pair.Modulus);
    }
}

TEST(KeyPair, ReplacingReleasesTheOldNumber)
{
    KeyPair pair;
    pair.ReplaceModulus(Number("123").release());
    pair.ReplaceModulus(Number("456").release());
    pair.ReplaceEncryptExponent(Number("65537").release());
    pair.ReplaceEncryptExponent(Number("65539").release());
    pair.ReplaceDecryptExponent(Number("7").release());
    pair.ReplaceDecryptExponent(nullptr);
    EXPECT_EQ(Decimal(pair.Modulus), "456");
    EXPECT_EQ(Decimal(pair.EncryptExponent), "65539");
    EXPECT_EQ(pair.DecryptExponent, nullptr);
    // The leak checker of the sanitizer build finds any number not released here or in the destructor.
}

TEST(RandomDigitString, OneToThreePiecesAppended)
{
    std::mt19937_64 random(PropertySeed("RandomDigitString.OneToThreePiecesAppended"));
    bool seenLength[31] = {};
    for (int i = 0; i < 2000; ++i) {
        RandomState = static_cast<uint32_t>(random());
        std::string text = "x";
        PrimeGeneration::RandomDigitString(text);
        ASSERT_EQ(text[0], 'x') << "the seed text is appended";
        ASSERT_GE(text.size(), 2u);
        ASSERT_LE(text.size(), 31u);
        ASSERT_EQ(text.find_first_not_of("0123456789", 1), std::string::npos);
        seenLength[text.size() - 1] = true;
    }
    EXPECT_TRUE(seenLength[10] && seenLength[20] && seenLength[30]);

    // From state 0: RandomBelow(3) gives 0, so one piece, drawn from the state 134775814.
    RandomState = 0;
    std::string text;
    PrimeGeneration::RandomDigitString(text);
    EXPECT_EQ(text, "67387906");
}

TEST(GenerateKeyPair, IsDeterministicUnderAFixedClock)
{
    const FixedClock clock(31415926);
    KeyPair first, second;
    std::string d1, n1, d2, n2;
    PrimeGeneration::GenerateKeyPair(first, d1, n1);
    PrimeGeneration::GenerateKeyPair(second, d2, n2);
    EXPECT_EQ(d1, d2);
    EXPECT_EQ(n1, n2);
    EXPECT_EQ(Decimal(first.DecryptExponent), d1);
    EXPECT_EQ(Decimal(first.Modulus), n1);
    EXPECT_TRUE(Equal(first.EncryptExponent, second.EncryptExponent));

    // The next reading gives another key: generation reseeds at its start.
    FixedClock::Set(31415927);
    std::string d3, n3;
    PrimeGeneration::GenerateKeyPair(second, d3, n3);
    EXPECT_NE(n3, n1);
}

TEST(GenerateKeyPair, ReadingOf8726299MillisecondsGivesA194BitModulus)
{
    const FixedClock clock(8726299);
    KeyPair pair;
    std::string d, n;
    PrimeGeneration::GenerateKeyPair(pair, d, n);
    EXPECT_EQ(BinaryOf(pair.Modulus).size(), 194u);
    std::cout << "8726299 ms: e = " << Decimal(pair.EncryptExponent) << "\nd = " << d << "\nn = " << n << std::endl;
    std::mt19937_64 random(8726299);
    ExpectRoundTrips(pair, random, 5);
}

TEST(GenerateKeyPair, PairsFromManyReadingsInvertEachOther)
{
    std::mt19937_64 random(PropertySeed("GenerateKeyPair.PairsFromManyReadingsInvertEachOther"));
    KeyPair pair; // reused: every generation replaces the numbers of the last
    for (int i = 0; i < 25; ++i) {
        const int64_t ms = static_cast<int64_t>(random() % 86400000);
        const FixedClock clock(ms);
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(pair, d, n);
        SCOPED_TRACE("clock reading " + std::to_string(ms) + " ms");
        EXPECT_EQ(Decimal(pair.Modulus), n);
        EXPECT_EQ(Decimal(pair.DecryptExponent), d);
        const size_t bits = BinaryOf(pair.Modulus).size();
        EXPECT_GE(bits, 27u);
        EXPECT_LE(bits, 195u);
        EXPECT_EQ(pair.EncryptExponent->Digit % 2, 1);
        ExpectRoundTrips(pair, random, 4);
    }
}

TEST(GenerateKeyPair, SeedsGiveThePrimesAfterThem)
{
    const FixedClock clock(2718);
    KeyPair pair;
    std::string d, n;
    PrimeGeneration::detail::GenerateKeyPairFromSeeds(pair, "1000000000000", "0123456", d, n);
    // 1000000000039 is the first prime above 10^12. 123457 is prime too, but as
    // the even start plus one it is never tried: the search begins at 123459.
    ExpectPairOf(pair, "1000000000039", "123479");
    EXPECT_EQ(Decimal(pair.EncryptExponent), "65537");
}

TEST(GenerateKeyPair, EqualPrimesMoveQOn)
{
    const FixedClock clock(0);
    KeyPair pair;
    std::string d, n;
    // Both seeds lead to 10007: q moves on to 10009.
    PrimeGeneration::detail::GenerateKeyPairFromSeeds(pair, "0", "10005", d, n);
    EXPECT_EQ(n, "100160063");
    EXPECT_EQ(BinaryOf(pair.Modulus).size(), 27u);
    ExpectPairOf(pair, "10007", "10009");
    std::mt19937_64 random(1);
    ExpectRoundTrips(pair, random, 20);

    // The largest seeds, equal: q moves past p, and the modulus has 195 binary digits.
    PrimeGeneration::detail::GenerateKeyPairFromSeeds(pair, "214748364621474836462147483646",
                                                      "214748364621474836462147483646", d, n);
    EXPECT_EQ(BinaryOf(pair.Modulus).size(), 195u);
    OwnedNum p = Number("214748364621474836462147483646");
    PrimeGeneration::NextPrime(p.out());
    OwnedNum q;
    GInt::CopyNum(p.get(), q.out());
    PrimeGeneration::NextPrime(q.out());
    ExpectPairOf(pair, Decimal(p.get()), Decimal(q.get()));
    ExpectRoundTrips(pair, random, 5);
}

TEST(GenerateKeyPair, ExponentMovesOnWhen65537DividesPhi)
{
    const FixedClock clock(0);
    KeyPair pair;
    std::string d, n;
    // 917519 = 14 * 65537 + 1 is prime, so 65537 divides p - 1.
    PrimeGeneration::detail::GenerateKeyPairFromSeeds(pair, "917517", "0", d, n);
    EXPECT_EQ(n, std::to_string(917519LL * 10007));
    EXPECT_EQ(Decimal(pair.EncryptExponent), "65539");
    ExpectPairOf(pair, "917519", "10007");
    std::mt19937_64 random(2);
    ExpectRoundTrips(pair, random, 20);
}

} // namespace
