// How often the receiving side reads a batch of lines other than as sent:
// the odds table of the README, regenerated.
//
//   reassembly_odds [batches per row] [seed]
//
// Each batch is one fresh key from the program's own key generator, its key
// message and one to three lines behind it (up to six for the short text
// row), handed over as a network might: in segments of 1,448 bytes, in
// random pieces, or with sends joined in one read. A batch is wrong when any
// line comes out other than once, intact and in order, or any error is
// reported. The output is the table as the README quotes it.
#include "cipher/RSA.h"
#include "primes/KeyPair.h"
#include "tests/support/fixedclock.h"
#include "tests/support/streamcutting.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using streamcutting::Cutting;
using streamcutting::Read;

struct Row {
    const char* what;
    enum class Lines { Text, Mixed, Binary } lines;
    std::size_t maxBytes;
    int mostLines;
    // How messages share reads: the three cuttings in turn, each message in
    // reads of its own, or up to six sends joined in one read.
    enum class Sharing { AsCut, Alone, UpToSix } sharing;
};

// The stream of `messages` in reads where each message has reads of its own.
std::vector<Read> alone(const std::vector<std::string>& messages, Cutting cutting, std::mt19937_64& random)
{
    std::vector<Read> reads;
    for (const std::string& message : messages)
        for (Read& read : streamcutting::cut({message}, cutting, random))
            reads.push_back(std::move(read));
    return reads;
}

std::vector<Read> upToSix(const std::vector<std::string>& messages, std::mt19937_64& random)
{
    std::vector<Read> reads;
    for (std::size_t i = 0; i < messages.size();) {
        Read read{{}, std::chrono::milliseconds(random() % 21)};
        for (std::size_t n = 1 + random() % 6; n > 0 && i < messages.size(); --n)
            read.bytes += messages[i++];
        reads.push_back(std::move(read));
    }
    return reads;
}

bool batchReadsAsSent(const Row& row, int batch, std::mt19937_64& random)
{
    FixedClock clock(static_cast<int64_t>(random() % 86400000));
    PrimeGeneration::KeyPair key;
    std::string d, n;
    PrimeGeneration::GenerateKeyPair(key, d, n);
    std::vector<std::string> sent, messages{d + "//" + n};
    for (int i = 1 + static_cast<int>(random() % row.mostLines); i > 0; --i) {
        const bool binary = row.lines == Row::Lines::Binary || (row.lines == Row::Lines::Mixed && random() % 2 == 0);
        sent.push_back(streamcutting::randomLine(random, binary, row.maxBytes));
        messages.push_back(RSA::EncryptLine(sent.back(), key.EncryptExponent, key.Modulus));
    }
    const auto cutting = static_cast<Cutting>(batch % 3);
    const std::vector<Read> reads = row.sharing == Row::Sharing::UpToSix ? upToSix(messages, random)
                                    : row.sharing == Row::Sharing::Alone ? alone(messages, cutting, random)
                                                                         : streamcutting::cut(messages, cutting, random);
    AssemblerFeed feed;
    feed.assembler.expectKey("//");
    feed.feed(reads);
    return feed.keys == std::vector<std::string>{messages.front()} && feed.lines == sent && feed.errors.empty();
}

} // namespace

int main(int argc, char** argv)
{
    const int batches = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    if (batches < 1) {
        std::fprintf(stderr, "usage: %s [batches per row] [seed]\n", argv[0]);
        return 2;
    }
    const Row rows[] = {
        {"text, one or two per read", Row::Lines::Text, 15000, 3, Row::Sharing::AsCut},
        {"text and binary mixed, one or two per read", Row::Lines::Mixed, 15000, 3, Row::Sharing::AsCut},
        {"binary only, one or two per read", Row::Lines::Binary, 2000, 3, Row::Sharing::AsCut},
        {"binary only, one per read", Row::Lines::Binary, 2000, 3, Row::Sharing::Alone},
        {"0 to 15 bytes, text or binary, one or two per read", Row::Lines::Mixed, 15, 3, Row::Sharing::AsCut},
        {"0 to 15 bytes, text, up to six per read", Row::Lines::Text, 15, 6, Row::Sharing::UpToSix},
    };
    std::printf("seed %llu\n\n| lines | batches | wrong |\n|---|---|---|\n", static_cast<unsigned long long>(seed));
    for (const Row& row : rows) {
        std::mt19937_64 random(seed);
        int wrong = 0;
        for (int batch = 0; batch < batches; ++batch)
            wrong += batchReadsAsSent(row, batch, random) ? 0 : 1;
        std::printf("| %s | %d | %d |\n", row.what, batches, wrong);
        std::fflush(stdout);
    }
    return 0;
}
