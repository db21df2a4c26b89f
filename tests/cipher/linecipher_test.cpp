#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "primes/keypair_p.h"
#include "tests/support/propertyseed.h"
#include "tests/support/fixedclock.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <memory>
#include <random>

namespace {

using GInt::Num;
using GInt::OwnedNum;
using PrimeGeneration::KeyPair;

std::string RandomLine(std::mt19937_64& random, size_t length)
{
    std::string line(length, '\0');
    for (char& c : line)
        c = static_cast<char>(random() & 0xff);
    return line;
}

// A key from two seed texts (the primes that follow them).
void MakeKey(KeyPair& pair, std::string_view seedP, std::string_view seedQ)
{
    std::string d, n;
    PrimeGeneration::detail::GenerateKeyPairFromSeeds(pair, seedP, seedQ, d, n);
}

void ExpectRoundTrip(const KeyPair& pair, const std::string& line)
{
    const std::string cipher = RSA::EncryptLine(line, pair.EncryptExponent, pair.Modulus);
    EXPECT_EQ(RSA::DecryptLine(cipher, pair.DecryptExponent, pair.Modulus), line)
        << "line of " << line.size() << " bytes, n = " << Decimal(pair.Modulus);
}

__extension__ typedef unsigned __int128 Wide;

// The line cipher worked out with machine integers, for moduli below 2^63.
std::string ReferenceEncrypt(std::string_view line, uint64_t e, uint64_t n)
{
    const size_t k = static_cast<size_t>(std::bit_width(n));
    std::string plain = "111" + RSA::TextToBits(line);
    plain.insert(0, (k - 1 - plain.size() % (k - 1)) % (k - 1), '0');
    std::string cipher;
    for (size_t start = 0; start < plain.size(); start += k - 1) {
        uint64_t m = 0;
        for (size_t i = start; i < start + k - 1; ++i)
            m = m << 1 | (plain[i] == '1');
        Wide c = 1, base = m % n;
        for (uint64_t x = e; x; x >>= 1, base = base * base % n)
            if (x & 1)
                c = c * base % n;
        for (size_t i = k; i-- > 0;)
            cipher += (static_cast<uint64_t>(c) >> i & 1) ? '1' : '0';
    }
    cipher.erase(0, cipher.find('1'));
    cipher.insert(0, (8 - cipher.size() % 8) % 8, '0');
    std::string bytes;
    for (size_t start = 0; start < cipher.size(); start += 8)
        bytes += static_cast<char>(RSA::BitsToByte(cipher.substr(start, 8)));
    return bytes;
}

class LineCipher : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const FixedClock clock(0);
        keys = std::make_unique<std::array<KeyPair, 3>>();
        MakeKey((*keys)[0], "0", "10005"); // 10007 * 10009, 27 binary digits
        MakeKey((*keys)[1], "0", "20000"); // 10007 * 20011, 28 binary digits
        FixedClock::Set(8726299);
        std::string d, n;
        PrimeGeneration::GenerateKeyPair((*keys)[2], d, n);
        key27 = &(*keys)[0];
        key28 = &(*keys)[1];
        key194 = &(*keys)[2];
    }
    static void TearDownTestSuite() { keys.reset(); }

    static inline std::unique_ptr<std::array<KeyPair, 3>> keys;
    static inline const KeyPair* key27 = nullptr;
    static inline const KeyPair* key28 = nullptr;
    static inline const KeyPair* key194 = nullptr;
};

TEST_F(LineCipher, EmptyLineIsTheMarkerAlone)
{
    for (const KeyPair* key : {key27, key28, key194}) {
        ASSERT_EQ(GInt::BinaryLength(key->Modulus), key == key27 ? 27u : key == key28 ? 28u : 194u);
        const std::string cipher = RSA::EncryptLine("", key->EncryptExponent, key->Modulus);
        EXPECT_LE(cipher.size(), (GInt::BinaryLength(key->Modulus) + 7) / 8);
        OwnedNum c, m;
        GInt::BinaryToNum(RSA::TextToBits(cipher), c.out());
        GInt::PowerMod(c.get(), key->DecryptExponent, key->Modulus, m.out());
        EXPECT_EQ(Decimal(m.get()), "7");
        EXPECT_EQ(RSA::DecryptLine(cipher, key->DecryptExponent, key->Modulus), "");
    }
}

TEST_F(LineCipher, AgreesWithAMachineIntegerReference)
{
    std::mt19937_64 random(PropertySeed("LineCipher.AgreesWithAMachineIntegerReference"));
    for (const KeyPair* key : {key27, key28}) {
        const uint64_t e = std::stoull(Decimal(key->EncryptExponent));
        const uint64_t n = std::stoull(Decimal(key->Modulus));
        for (int i = 0; i < 40; ++i) {
            const std::string line = RandomLine(random, random() % 60);
            ASSERT_EQ(RSA::EncryptLine(line, key->EncryptExponent, key->Modulus), ReferenceEncrypt(line, e, n))
                << "line of " << line.size() << " bytes under n = " << n;
        }
    }
}

TEST_F(LineCipher, EncryptionIsDeterministic)
{
    const std::string line = "The same line twice";
    EXPECT_EQ(RSA::EncryptLine(line, key194->EncryptExponent, key194->Modulus),
              RSA::EncryptLine(line, key194->EncryptExponent, key194->Modulus));
}

TEST_F(LineCipher, OneByteUnderA27BitModulusFitsInFourBytes)
{
    for (int b = 0; b < 256; ++b) {
        const std::string line(1, static_cast<char>(b));
        const std::string cipher = RSA::EncryptLine(line, key27->EncryptExponent, key27->Modulus);
        EXPECT_LE(cipher.size(), 4u);
        EXPECT_EQ(RSA::DecryptLine(cipher, key27->DecryptExponent, key27->Modulus), line);
    }
}

TEST_F(LineCipher, LinesOfByteOneSurviveAllZeroBlocks)
{
    // Byte 1 is coded 00000000, so these lines hold blocks of zeros only.
    for (const KeyPair* key : {key27, key28, key194})
        for (const size_t length : {1u, 3u, 4u, 7u, 25u, 26u, 60u, 200u})
            ExpectRoundTrip(*key, std::string(length, '\1'));
}

TEST_F(LineCipher, LineFillingWholeBlocksNeedsNoPadding)
{
    // Under k - 1 = 27, a line of 3 bytes gives 3 + 24 = 27 characters: one full block.
    const std::string line = "abc";
    const std::string cipher = RSA::EncryptLine(line, key28->EncryptExponent, key28->Modulus);
    OwnedNum c, m;
    GInt::BinaryToNum(RSA::TextToBits(cipher), c.out());
    GInt::PowerMod(c.get(), key28->DecryptExponent, key28->Modulus, m.out());
    std::string plain;
    GInt::NumToBinary(m.get(), plain);
    EXPECT_EQ(plain, "111" + RSA::TextToBits(line));
    EXPECT_EQ(RSA::DecryptLine(cipher, key28->DecryptExponent, key28->Modulus), line);
    ExpectRoundTrip(*key28, std::string(30, 'z')); // 3 + 240 = 9 blocks of 27
}

TEST_F(LineCipher, CiphertextsWithBytesZeroAnd255StillDecrypt)
{
    std::mt19937_64 random(PropertySeed("LineCipher.CiphertextsWithBytesZeroAnd255StillDecrypt"));
    int found = 0;
    for (int attempt = 0; attempt < 200 && found < 5; ++attempt) {
        const std::string line = RandomLine(random, 40 + random() % 80);
        const std::string cipher = RSA::EncryptLine(line, key194->EncryptExponent, key194->Modulus);
        if (cipher.find('\0') == std::string::npos || cipher.find('\xff') == std::string::npos)
            continue;
        ++found;
        EXPECT_EQ(RSA::DecryptLine(cipher, key194->DecryptExponent, key194->Modulus), line);
    }
    EXPECT_EQ(found, 5) << "too few ciphertexts held both byte 0 and byte 255";
}

TEST_F(LineCipher, RandomLinesUnderFreshKeysRoundTrip)
{
    std::mt19937_64 random(PropertySeed("LineCipher.RandomLinesUnderFreshKeysRoundTrip"));
    KeyPair key;
    for (int reading = 0; reading < 20; ++reading) {
        const int64_t ms = static_cast<int64_t>(random() % 86400000);
        const FixedClock clock(ms);
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(key, d, n);
        SCOPED_TRACE("clock reading " + std::to_string(ms) + " ms");
        for (int i = 0; i < 6; ++i)
            ExpectRoundTrip(key, RandomLine(random, random() % 201));
    }
}

TEST_F(LineCipher, TheModulusSignPlaysNoPart)
{
    OwnedNum negative;
    GInt::CopyNum(key27->Modulus, negative.out());
    GInt::NegateNum(negative.get());
    const std::string line = "sign";
    const std::string cipher = RSA::EncryptLine(line, key27->EncryptExponent, negative.get());
    EXPECT_EQ(cipher, RSA::EncryptLine(line, key27->EncryptExponent, key27->Modulus));
    EXPECT_EQ(RSA::DecryptLine(cipher, key27->DecryptExponent, negative.get()), line);
}

TEST(LineCipherErrors, ModulusBelowTwoBinaryDigitsIsRefused)
{
    const OwnedNum exponent = Number("3");
    for (const char* modulus : {"0", "-0", "1", "-1"}) {
        const OwnedNum n = Number(modulus);
        EXPECT_THROW(RSA::EncryptLine("hello", exponent.get(), n.get()), RSA::ECipherError) << modulus;
        EXPECT_THROW(RSA::EncryptLine("", exponent.get(), n.get()), RSA::ECipherError) << modulus;
        EXPECT_THROW(RSA::DecryptLine("hello", exponent.get(), n.get()), RSA::ECipherError) << modulus;
        try {
            RSA::DecryptLine("x", exponent.get(), n.get());
        } catch (const RSA::ECipherError& error) {
            EXPECT_NE(std::string(error.what()).find("modulus"), std::string::npos) << error.what();
        }
    }
}

TEST(LineCipherErrors, TwoDigitModuliStillWork)
{
    // k = 2: blocks of a single digit; with exponent 1 the cipher is the identity on blocks.
    const OwnedNum one = Number("1");
    for (const char* modulus : {"2", "3", "-3"}) {
        const OwnedNum n = Number(modulus);
        const std::string line = std::string("any\0line\xff", 9);
        EXPECT_EQ(RSA::DecryptLine(RSA::EncryptLine(line, one.get(), n.get()), one.get(), n.get()), line);
    }
}

TEST_F(LineCipher, ChunkWithoutTheMarkerIsRefused)
{
    for (const std::string& chunk : {std::string(), std::string(1, '\1'), std::string(50, '\1')}) {
        try {
            RSA::DecryptLine(chunk, key27->DecryptExponent, key27->Modulus);
            ADD_FAILURE() << "a chunk of " << chunk.size() << " bytes of value 1 was accepted";
        } catch (const RSA::ECipherError& error) {
            EXPECT_STREQ(error.what(), "The received line cannot be decrypted");
        }
    }
}

} // namespace
