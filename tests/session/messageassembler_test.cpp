// The message assembler against the network's ways of cutting a stream: every
// line arrives intact, in order and once, whatever the reads look like.
#include "session/messageassembler.h"

#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "tests/support/fixedclock.h"
#include "tests/support/propertyseed.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Kind = MessageAssembler::Message::Kind;

// How the network hands the sent bytes over: segments of at most 1,448 bytes
// (one TCP segment) a few ms apart, random pieces, or sends joined in one read.
enum class Cutting { Segments, RandomPieces, Joined };

struct Read {
    std::string bytes;
    std::chrono::milliseconds gapAfter;
};

std::vector<Read> cut(const std::vector<std::string>& messages, Cutting cutting, std::mt19937_64& random)
{
    std::string stream;
    for (const std::string& message : messages)
        stream += message;
    std::vector<Read> reads;
    const auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    if (cutting == Cutting::Joined) {
        // Every message read together with the next.
        for (std::size_t i = 0; i < messages.size(); i += 2)
            reads.push_back({messages[i] + (i + 1 < messages.size() ? messages[i + 1] : ""),
                             std::chrono::milliseconds(between(0, 20))});
        return reads;
    }
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = cutting == Cutting::Segments ? 1448 : static_cast<std::size_t>(between(1, 1448));
        reads.push_back({stream.substr(at, size), std::chrono::milliseconds(cutting == Cutting::Segments
                                                                                ? between(5, 50)
                                                                                : between(0, 20))});
        at += size;
    }
    return reads;
}

// A line as a peer types it (UTF-8, some of it beyond ASCII) or as binary
// bytes with 0, 1 and 255 among them.
std::string randomLine(std::mt19937_64& random, bool binary, std::size_t maxBytes)
{
    const std::size_t length = std::uniform_int_distribution<std::size_t>(0, maxBytes)(random);
    std::string line;
    while (line.size() < length) {
        if (binary) {
            line += static_cast<char>(random() % 256);
        } else {
            static const char* const pieces[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\t"};
            line += random() % 16 == 0 ? pieces[random() % 4] : std::string(1, static_cast<char>(' ' + random() % 95));
        }
    }
    if (binary && line.size() >= 3)
        line.replace(0, 3, std::string("\0\x01\xff", 3));
    return line;
}

class Assembler : public testing::Test {
protected:
    void feed(const std::vector<Read>& reads)
    {
        for (const Read& read : reads) {
            assembler.append(read.bytes, now);
            take();
            advance(now + read.gapAfter);
        }
        advance(now + MessageAssembler::GiveUpTime + 1s);
    }
    // Moves the clock on, waking the assembler whenever it asked to be.
    void advance(MessageAssembler::TimePoint to)
    {
        while (const auto deadline = assembler.deadline()) {
            if (*deadline > to)
                break;
            now = *deadline;
            assembler.timePassed(now);
            take();
        }
        now = to;
    }
    void take()
    {
        for (MessageAssembler::Message& message : assembler.takeMessages())
            (message.kind == Kind::Line ? lines : message.kind == Kind::Key ? keys : errors).push_back(message.text);
    }

    MessageAssembler assembler;
    MessageAssembler::TimePoint now = MessageAssembler::TimePoint{} + 1h;
    std::vector<std::string> lines, keys, errors;
};

// Keys, lines and cuttings drawn from one seed: the key message and the lines
// behind it, text of up to 15,000 bytes or binary of up to 2,000, cut as the
// network might; each line must come out once, intact and in order.
TEST_F(Assembler, EveryLineArrivesIntactWhateverTheCutting)
{
    std::mt19937_64 random(PropertySeed("Assembler.EveryLineArrivesIntactWhateverTheCutting"));
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        FixedClock clock(static_cast<int64_t>(random() % 86400000));
        PrimeGeneration::KeyPair key;
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(key, d, n);
        const auto cutting = static_cast<Cutting>(round % 3);

        std::vector<std::string> sent, messages{d + "//" + n};
        for (int i = std::uniform_int_distribution<int>(1, 3)(random); i > 0; --i) {
            const bool binary = random() % 3 == 0;
            sent.push_back(randomLine(random, binary, binary ? 2000 : 15000));
            messages.push_back(RSA::EncryptLine(sent.back(), key.EncryptExponent, key.Modulus));
        }
        assembler.restart();
        assembler.expectKey("//");
        lines.clear();
        keys.clear();
        errors.clear();
        feed(cut(messages, cutting, random));
        EXPECT_EQ(keys, std::vector<std::string>{messages.front()});
        EXPECT_EQ(lines, sent) << "cutting " << round % 3;
        EXPECT_EQ(errors, std::vector<std::string>{});
    }
}

class AssemblerWithKey : public Assembler {
protected:
    void SetUp() override
    {
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(key, d, n);
        assembler.expectLines(key.DecryptExponent, key.Modulus);
    }
    std::string encrypt(const std::string& line) { return RSA::EncryptLine(line, key.EncryptExponent, key.Modulus); }

    FixedClock clock{12345678};
    PrimeGeneration::KeyPair key;
};

// A whole message is shown once the bytes have settled, well within 100 ms,
// and only then: more of it might still be on the way.
TEST_F(AssemblerWithKey, AWholeMessageIsToldOnceTheBytesSettle)
{
    assembler.append(encrypt("prompt"), now);
    take();
    EXPECT_TRUE(lines.empty());
    ASSERT_TRUE(assembler.deadline().has_value());
    EXPECT_LE(*assembler.deadline() - now, 100ms);
    advance(now + 100ms);
    EXPECT_EQ(lines, std::vector<std::string>{"prompt"});
    EXPECT_FALSE(assembler.deadline().has_value());
}

// Bytes that read as no line, however many reads bring them, give one error
// and no line; the next genuine line is shown. A connection that ends takes
// in what was still waiting.
TEST_F(AssemblerWithKey, GarbageGivesOneErrorAndTheNextLineReads)
{
    std::mt19937_64 random(7);
    std::vector<Read> reads{{encrypt("before"), 10ms}};
    for (int i = 0; i < 40; ++i)
        reads.push_back({randomLine(random, true, 1448), 5ms});
    reads.push_back({std::string(MessageAssembler::MaxHeldBytes + 1, 'A'), 5ms});
    feed(reads);
    EXPECT_EQ(lines, std::vector<std::string>{"before"});
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The received data cannot be decrypted: ", 0), 0u) << errors[0];

    assembler.append(encrypt("after"), now);
    assembler.finish(now);
    take();
    EXPECT_EQ(lines, (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(assembler.buffered(), 0u);
}

} // namespace
