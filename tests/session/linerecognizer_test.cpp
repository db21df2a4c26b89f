// The line recognizer on what EncryptLine writes: a message reads as one, so
// does every prefix of it short by a whole multiple of 8 blocks (that is why
// a pause can cut a message), and so do two messages joined where the second
// fills whole blocks from a byte edge (the one case no reading tells apart).
#include "session/linerecognizer.h"

#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "tests/support/fixedclock.h"
#include "tests/support/propertyseed.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

TEST(LineRecognizer, ReadsWhatEncryptLineWrites)
{
    std::mt19937_64 random(PropertySeed("LineRecognizer.ReadsWhatEncryptLineWrites"));
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        FixedClock clock(static_cast<int64_t>(random() % 86400000));
        PrimeGeneration::KeyPair key;
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(key, d, n);
        const std::size_t k = static_cast<std::size_t>(GInt::BinaryLength(key.Modulus));
        std::string line(std::uniform_int_distribution<std::size_t>(0, 3000)(random), '\0');
        for (char& byte : line)
            byte = static_cast<char>(random());
        const std::string message = RSA::EncryptLine(line, key.EncryptExponent, key.Modulus);

        LineRecognizer recognizer(key.DecryptExponent, key.Modulus);
        recognizer.setBytes(message, 0);
        const auto whole = recognizer.pieceAt(0, message.size());
        ASSERT_TRUE(whole.has_value());
        EXPECT_EQ(recognizer.line(*whole), line);

        // Short by 8j blocks of k bits, jk bytes: the line short by j(k-1) bytes.
        for (std::size_t j = 1; j * k < message.size() && j * (k - 1) <= line.size(); ++j) {
            const auto prefix = recognizer.pieceAt(0, message.size() - j * k);
            ASSERT_TRUE(prefix.has_value()) << "short by " << 8 * j << " blocks";
            EXPECT_EQ(recognizer.line(*prefix), line.substr(0, line.size() - j * (k - 1)));
        }

        // A second message of whole blocks joined behind: one message to the
        // recognizer, the line DecryptLine gives for the joined bytes.
        const std::string second = RSA::EncryptLine(line.substr(0, line.size() / 2), key.EncryptExponent, key.Modulus);
        const std::string joined = message + second;
        recognizer.setBytes(joined, 0);
        const auto both = recognizer.pieceAt(0, joined.size());
        const std::size_t secondBlocks = 8 * second.size() / k;
        EXPECT_EQ(both.has_value(), 8 * second.size() % k == 0 && secondBlocks * (k - 1) % 8 == 0);
        if (both) {
            EXPECT_EQ(recognizer.line(*both), RSA::DecryptLine(joined, key.DecryptExponent, key.Modulus));
        }
        const auto last = recognizer.pieceAt(message.size(), joined.size());
        ASSERT_TRUE(last.has_value());
        EXPECT_EQ(recognizer.line(*last), line.substr(0, line.size() / 2));
    }
}

// The empty line is the marker alone: one block of value 7, under every key.
TEST(LineRecognizer, TheEmptyLineIsTheMarkerAlone)
{
    FixedClock clock(8726299);
    PrimeGeneration::KeyPair key;
    std::string d, n;
    PrimeGeneration::GenerateKeyPair(key, d, n);
    const std::string message = RSA::EncryptLine("", key.EncryptExponent, key.Modulus);
    LineRecognizer recognizer(key.DecryptExponent, key.Modulus);
    recognizer.setBytes(message, 0);
    const auto piece = recognizer.pieceAt(0, message.size());
    ASSERT_TRUE(piece.has_value());
    EXPECT_EQ(piece->blocks, 1);
    EXPECT_EQ(piece->pad, static_cast<int>(GInt::BinaryLength(key.Modulus)) - 4);
    EXPECT_EQ(recognizer.line(*piece), "");
}

} // namespace
