// The message assembler against the network's ways of cutting a stream: every
// line arrives intact, in order and once, whatever the reads look like.
#include "session/messageassembler.h"

#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "tests/support/fixedclock.h"
#include "tests/support/propertyseed.h"
#include "tests/support/streamcutting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using streamcutting::cut;
using streamcutting::Cutting;
using streamcutting::randomLine;
using streamcutting::Read;

// Whether `bytes` read as one line message under `key`, checked the long way
// round through the big numbers: a first byte that is not all zeros, every
// block below the modulus and decrypting below half of it, zeros, the marker
// and whole bytes after it.
bool OneLineMessage(const std::string& bytes, const PrimeGeneration::KeyPair& key)
{
    std::string bits = RSA::TextToBits(bytes);
    if (bits.empty() || bits.compare(0, 8, "00000000") == 0)
        return false;
    bits.erase(0, bits.find('1'));
    std::string modulus;
    GInt::NumToBinary(key.Modulus, modulus);
    const std::size_t k = modulus.size();
    bits.insert(0, (k - bits.size() % k) % k, '0');
    std::string plain;
    for (std::size_t at = 0; at < bits.size(); at += k) {
        GInt::OwnedNum block, power;
        GInt::BinaryToNum(bits.substr(at, k), block.out());
        if (GInt::CompareAbs(block.get(), key.Modulus) != GInt::crLess)
            return false;
        GInt::PowerMod(block.get(), key.DecryptExponent, key.Modulus, power.out());
        std::string digits;
        GInt::NumToBinary(power.get(), digits);
        if (digits.size() >= k)
            return false;
        plain += std::string(k - 1 - digits.size(), '0') + digits;
    }
    const std::size_t one = plain.find('1');
    return one != std::string::npos && plain.compare(one, 3, "111") == 0 && (plain.size() - one - 3) % 8 == 0;
}

// Whether `got` from `g` on spells `bytes` cut into well-formed messages at
// edges of the blocks aligned on its end, only where `mayCut` allows.
bool ReadsAsMessages(const std::vector<std::string>& got, std::size_t g, const std::string& bytes,
                     const PrimeGeneration::KeyPair& key, std::size_t& used,
                     const std::function<bool(std::size_t)>& mayCut = [](std::size_t) { return true; })
{
    const std::size_t k = static_cast<std::size_t>(GInt::BinaryLength(key.Modulus));
    for (std::size_t cut = 1; cut <= bytes.size() && g < got.size(); ++cut) {
        if (8 * (bytes.size() - cut) % k != 0 || (cut < bytes.size() && !mayCut(cut)))
            continue;
        const std::string head = bytes.substr(0, cut);
        if (!OneLineMessage(head, key) || RSA::DecryptLine(head, key.DecryptExponent, key.Modulus) != got[g])
            continue;
        if (cut == bytes.size()) {
            used = 1;
            return true;
        }
        if (ReadsAsMessages(got, g + 1, bytes.substr(cut), key, used,
                            [&](std::size_t further) { return mayCut(cut + further); })) {
            ++used;
            return true;
        }
    }
    return false;
}

// The lines as they must come out: the sent ones, but for one case that no
// byte tells apart. Two binary lines, the second of whole blocks from a byte
// edge, share the alignment of their blocks, and so read as well as one; one
// binary line reads as two where a block edge of that alignment falls on a
// byte edge and the block behind it decrypts to zeros and the marker with the
// right parity. Where the two were read together, they may come out as one,
// or cut at any such edge; where a read ended at such an edge inside a binary
// line, it may come out cut there.
::testing::AssertionResult ReadAsSent(const std::vector<std::string>& got, const std::vector<std::string>& sent,
                                      const std::vector<std::string>& messages, const std::vector<bool>& binary,
                                      std::size_t offset, const std::vector<std::size_t>& readEnds,
                                      const PrimeGeneration::KeyPair& key)
{
    const std::size_t k = static_cast<std::size_t>(GInt::BinaryLength(key.Modulus));
    const auto readEndAt = [&](std::size_t at) { return std::find(readEnds.begin(), readEnds.end(), at) != readEnds.end(); };
    std::size_t g = 0;
    for (std::size_t s = 0; s < sent.size(); offset += messages[s].size(), ++s, ++g) {
        if (g < got.size() && got[g] == sent[s])
            continue;
        std::size_t used = 0;
        const std::size_t start = offset;
        if (binary[s] && ReadsAsMessages(got, g, messages[s], key, used,
                                         [&](std::size_t cut) { return readEndAt(start + cut); })) {
            g += used - 1;
            continue;
        }
        if (s + 1 < sent.size() && !readEndAt(offset + messages[s].size()) && binary[s] && binary[s + 1]
            && 8 * messages[s + 1].size() % k == 0
            && ReadsAsMessages(got, g, messages[s] + messages[s + 1], key, used)) {
            offset += messages[s].size();
            ++s;
            g += used - 1;
            continue;
        }
        return ::testing::AssertionFailure() << "line " << s << " of " << sent.size() << " (" << sent[s].size()
                                             << " bytes) came out as " << (g < got.size() ? got[g].size() : 0)
                                             << " bytes; " << got.size() << " lines came out";
    }
    if (g != got.size())
        return ::testing::AssertionFailure() << got.size() - g << " more lines came out than were sent";
    return ::testing::AssertionSuccess();
}

class Assembler : public testing::Test, protected AssemblerFeed {};

// The seeds the property below runs with: VELMORA_TEST_SEED alone when set;
// 1 to VELMORA_ASSEMBLER_SEEDS when that is set (make soak runs 1,000);
// otherwise seeds that once failed, kept as regression cases.
std::vector<std::uint64_t> AssemblerSeeds()
{
    if (std::getenv("VELMORA_TEST_SEED"))
        return {PropertySeed("Assembler.EveryLineArrivesIntactWhateverTheCutting")};
    if (const char* count = std::getenv("VELMORA_ASSEMBLER_SEEDS")) {
        std::vector<std::uint64_t> seeds(std::strtoull(count, nullptr, 10));
        std::iota(seeds.begin(), seeds.end(), 1);
        return seeds;
    }
    return {2, 5, 7, 9, 15, 22, 52, 55, 77, 85, 88, 98, 114, 120, 139, 140, 166, 173, 174, 187, 188, 246, 305, 403, 467};
}

// Keys, lines and cuttings drawn from one seed: the key message and the lines
// behind it, text of up to 15,000 bytes or binary of up to 2,000, cut as the
// network might; each line must come out once, intact and in order.
class AssemblerOverSeeds : public Assembler, public testing::WithParamInterface<std::uint64_t> {};

TEST_P(AssemblerOverSeeds, EveryLineArrivesIntactWhateverTheCutting)
{
  {
    const std::uint64_t seed = GetParam();
    SCOPED_TRACE("VELMORA_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        FixedClock clock(static_cast<int64_t>(random() % 86400000));
        PrimeGeneration::KeyPair key;
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(key, d, n);
        const auto cutting = static_cast<Cutting>(round % 3);

        std::vector<std::string> sent, messages{d + "//" + n};
        std::vector<bool> binaries;
        for (int i = std::uniform_int_distribution<int>(1, 3)(random); i > 0; --i) {
            const bool binary = random() % 3 == 0;
            binaries.push_back(binary);
            sent.push_back(randomLine(random, binary, binary ? 2000 : 15000));
            messages.push_back(RSA::EncryptLine(sent.back(), key.EncryptExponent, key.Modulus));
        }
        assembler.restart();
        assembler.expectKey("//");
        lines.clear();
        keys.clear();
        errors.clear();
        const std::vector<Read> reads = cut(messages, cutting, random);
        feed(reads);
        EXPECT_EQ(keys, std::vector<std::string>{messages.front()});
        std::vector<std::size_t> readEnds;
        for (std::size_t at = 0; const Read& read : reads)
            readEnds.push_back(at += read.bytes.size());
        EXPECT_TRUE(ReadAsSent(lines, sent, std::vector<std::string>(messages.begin() + 1, messages.end()), binaries,
                               messages[0].size(), readEnds, key))
            << "cutting " << round % 3;
        EXPECT_EQ(errors, std::vector<std::string>{});
    }
  }
}

// One ctest entry a seed, so the sanitizer build runs them side by side.
INSTANTIATE_TEST_SUITE_P(Seeds, AssemblerOverSeeds, testing::ValuesIn(AssemblerSeeds()));

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

namespace {

// A stranger's key: an odd modulus of `size` binary digits above the key
// generator's and the exponent two below it, so every power is a full one
// (1,024 digits: the most a key the session accepts can make a power cost).
struct HostileKey {
    GInt::OwnedNum exponent, modulus;
    HostileKey(std::mt19937_64& random, std::size_t size)
    {
        std::string bits(size, '0');
        for (char& bit : bits)
            bit = static_cast<char>('0' + random() % 2);
        bits.front() = '1';
        bits.replace(size - 2, 2, "11");
        GInt::BinaryToNum(bits, modulus.out());
        bits.replace(size - 2, 2, "01");
        GInt::BinaryToNum(bits, exponent.out());
    }
};

// Junk under a 1,024-bit key costs at most the allowance and four powers a
// block received, however it is cut: segments, or one byte a read. Seed 26
// draws a modulus under which short blocks decrypt to short numbers: its
// junk once read as a line that started clearly.
class AssemblerUnderHostileKey : public Assembler, public testing::WithParamInterface<std::uint64_t> {};

TEST_P(AssemblerUnderHostileKey, JunkCostsBoundedPowers)
{
    const std::uint64_t seed = GetParam() ? GetParam() : PropertySeed("Assembler.JunkCostsBoundedPowers");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    const HostileKey key(random, 1024);
    for (const std::size_t readSize : {std::size_t{1448}, std::size_t{1}}) {
        SCOPED_TRACE(readSize);
        assembler.restart();
        assembler.expectLines(key.exponent.get(), key.modulus.get());
        lines.clear();
        errors.clear();
        const std::size_t total = readSize == 1 ? 4096 : 16384;
        std::vector<Read> reads;
        std::size_t sent = 0;
        for (; sent < total; sent += readSize)
            reads.push_back({randomLine(random, true, readSize).append(readSize, 'x').substr(0, readSize), 1ms});
        feed(reads);
        const std::uint64_t blocks = 8 * sent / 1024;
        EXPECT_LE(assembler.powerMods(), PowerBudget::LargeKeyAllowance + PowerBudget::PerBlock * blocks);
        EXPECT_EQ(errors.size(), 1u);
        EXPECT_EQ(lines, std::vector<std::string>{});
        EXPECT_EQ(assembler.buffered(), 0u);
    }
}

// 0 stands for a fresh seed.
INSTANTIATE_TEST_SUITE_P(Seeds, AssemblerUnderHostileKey, testing::Values(0, 26));

// A flood read faster than it can be looked at, as a busy receiver reads a
// peer sending at full speed (megabytes a read on loopback), is held to the
// cap from the read that passes it on.
TEST_F(Assembler, AFloodIsHeldToTheCap)
{
    std::mt19937_64 random(PropertySeed("Assembler.AFloodIsHeldToTheCap"));
    const HostileKey key(random, 1024);
    assembler.expectLines(key.exponent.get(), key.modulus.get());
    const std::size_t size = MessageAssembler::MaxBufferedBytes + MessageAssembler::MaxLineMessage;
    for (int read = 0; read < 3; ++read) {
        assembler.append(randomLine(random, true, size).append(size, 'x').substr(0, size), now);
        take();
        EXPECT_LE(assembler.buffered(), MessageAssembler::MaxBufferedBytes);
    }
    EXPECT_EQ(errors.size(), 1u);
}

// A message that stops arriving a whole multiple of 8 blocks before its end
// reads as a complete shorter one; a pause there of up to 1.5 s, or anywhere
// else, must not cut it. The pause comes after the first 536 bytes at the
// earliest: a network hands a long write over in segments no shorter, and a
// shorter read is taken for a whole write, so a pause behind one that reads
// as a well-formed message cannot be told from a message that ended there.
TEST_F(AssemblerWithKey, APauseInsideAMessageNeverCutsIt)
{
    std::mt19937_64 random(PropertySeed("AssemblerWithKey.APauseInsideAMessageNeverCutsIt"));
    const std::size_t k = static_cast<std::size_t>(GInt::BinaryLength(key.Modulus));
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const std::string line = randomLine(random, false, 6000).append(3000, 'a');
        const std::string message = encrypt(line);
        // 8j blocks of k bits are jk bytes; every other round pauses anywhere.
        const std::size_t first = ArrivalClock::WholeWriteBytes;
        const std::size_t j = std::uniform_int_distribution<std::size_t>(1, 8)(random);
        const std::size_t at = round % 2 == 0
                                   ? message.size() - j * k
                                   : std::uniform_int_distribution<std::size_t>(first, message.size() - 1)(random);
        ASSERT_GE(at, first);
        const auto pause = std::chrono::milliseconds(std::uniform_int_distribution<int>(210, 1500)(random));
        lines.clear();
        feed({{message.substr(0, at), pause}, {message.substr(at), 0ms}});
        EXPECT_EQ(lines, std::vector<std::string>{line}) << "paused " << pause.count() << " ms at byte " << at << " of "
                                                         << message.size();
    }
}

// Lines on one connection under a fresh key from the program's generator,
// fed to a receiver whose every power takes 30 us: about 10 us unloaded, so
// three times that is a machine busy with other work.
class AssemblerOnBusyReceiver : public Assembler {
protected:
    void SetUp() override
    {
        FixedClock clock(static_cast<int64_t>(random() % 86400000));
        std::string d, n;
        PrimeGeneration::GenerateKeyPair(key, d, n);
        assembler.expectLines(key.DecryptExponent, key.Modulus);
    }
    std::string encrypt(const std::string& line) { return RSA::EncryptLine(line, key.EncryptExponent, key.Modulus); }
    ::testing::AssertionResult cameOutAsSent() const
    {
        if (lines == sent && errors.empty())
            return ::testing::AssertionSuccess();
        const auto differ = std::mismatch(sent.begin(), sent.end(), lines.begin(), lines.end());
        return ::testing::AssertionFailure()
               << lines.size() << " lines came out for " << sent.size() << "; line " << differ.first - sent.begin()
               << " of " << (differ.first != sent.end() ? differ.first->size() : 0) << " bytes came out as "
               << (differ.second != lines.end() ? differ.second->size() : 0) << "; " << assembler.powerMods()
               << " powers spent; errors: " << ::testing::PrintToString(errors);
    }

    std::mt19937_64 random{PropertySeed(::testing::UnitTest::GetInstance()->current_test_info()->name())};
    PrimeGeneration::KeyPair key;
    std::vector<std::string> sent;
};

// A long conversation: two lines at a time, typed back to back, in segments
// that pause now and then. Every look while the bytes keep coming searches
// what is held, which mostly ends inside a message: however often, the search
// must leave the peer's credit enough for every line.
TEST_F(AssemblerOnBusyReceiver, ALongConversationArrivesWholeThroughPauses)
{
    std::vector<Read> reads;
    for (int round = 0; round < 8; ++round) {
        std::vector<std::string> messages;
        for (int i = 0; i < 2; ++i) {
            sent.push_back(randomLine(random, false, 10000));
            messages.push_back(encrypt(sent.back()));
        }
        for (Read& read : cut(messages, Cutting::Paused, random))
            reads.push_back(std::move(read));
        reads.back().gapAfter = MessageAssembler::GiveUpTime;
    }
    feedBusy(reads, 30us);
    EXPECT_TRUE(cameOutAsSent());
}

// Lines typed one after another with no pause long enough to take the last
// as whole, more of them than the receiver may hold: each is told while the
// next one is still arriving, however the network cuts them. Long lines show
// where one ends by the run of blocks inside them; lines of a block or two
// (a pasted list) only by where each starts.
class AssemblerBurst : public AssemblerOnBusyReceiver, public testing::WithParamInterface<std::size_t> {};

TEST_P(AssemblerBurst, EveryLineOfABurstArrivesWhole)
{
    std::vector<std::string> messages;
    for (std::size_t bytes = 0; bytes <= 2 * MessageAssembler::MaxHeldBytes; bytes += messages.back().size()) {
        sent.push_back(randomLine(random, false, GetParam()));
        messages.push_back(encrypt(sent.back()));
    }
    feedBusy(cut(messages, static_cast<Cutting>(random() % 4), random), 30us);
    EXPECT_TRUE(cameOutAsSent());
}

INSTANTIATE_TEST_SUITE_P(LongestLine, AssemblerBurst, testing::Values(10000, 400, 100));

// A genuine RSA key of 1,024 bits, larger than any the key generator makes:
// lines under it still come out whole, within the power budget, when two long
// ones arrive joined in segments.
TEST_F(Assembler, LongLinesUnderAGenuine1024BitKeyArriveWhole)
{
    std::mt19937_64 random(PropertySeed("Assembler.LongLinesUnderAGenuine1024BitKeyArriveWhole"));
    GInt::OwnedNum p, q, n, phi, e, d, one, p1, q1;
    for (GInt::OwnedNum* prime : {&p, &q}) {
        std::string bits(512, '1');
        for (std::size_t i = 1; i < 511; ++i)
            bits[i] = static_cast<char>('0' + random() % 2);
        GInt::BinaryToNum(bits, prime->out());
        PrimeGeneration::NextPrime(prime->out());
    }
    GInt::MulNum(p.get(), q.get(), n.out());
    GInt::DecimalToNum("1", one.out());
    GInt::SubNum(p.get(), one.get(), p1.out());
    GInt::SubNum(q.get(), one.get(), q1.out());
    GInt::MulNum(p1.get(), q1.get(), phi.out());
    GInt::DecimalToNum("65537", e.out());
    GInt::InverseMod(e.get(), phi.get(), d.out());
    ASSERT_NE(d.get(), nullptr);
    ASSERT_GT(GInt::BinaryLength(n.get()), PowerBudget::SmallKeyBits);

    std::vector<std::string> sent;
    std::string stream;
    for (int i = 0; i < 2; ++i) {
        sent.push_back(randomLine(random, false, 0).append(8000, 'x'));
        for (char& c : sent.back())
            c = static_cast<char>(' ' + random() % 95);
        stream += RSA::EncryptLine(sent.back(), e.get(), n.get());
    }
    std::vector<Read> reads;
    for (std::size_t at = 0; at < stream.size(); at += 1448)
        reads.push_back({stream.substr(at, 1448), 5ms});
    assembler.restart();
    assembler.expectLines(d.get(), n.get());
    feed(reads);
    EXPECT_TRUE(lines == sent) << lines.size() << " lines came out, " << assembler.powerMods() << " powers";
    EXPECT_EQ(errors, std::vector<std::string>{});
    const std::uint64_t blocks = 8 * stream.size() / GInt::BinaryLength(n.get());
    EXPECT_LE(assembler.powerMods(), PowerBudget::LargeKeyAllowance + PowerBudget::PerBlock * blocks);
}

} // namespace
