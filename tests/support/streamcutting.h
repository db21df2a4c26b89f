// Test helpers for the message assembler: the ways a network hands a stream
// of messages over, lines as peers send them, and an assembler fed reads on
// a clock of its own. Shared by the assembler's tests and the odds harness.
#pragma once

#include "session/messageassembler.h"

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace streamcutting {

// How the network hands the sent bytes over: segments of at most 1,448 bytes
// (one TCP segment) a few ms apart, random pieces, sends joined in one read,
// or segments with a pause of 210 to 1,000 ms before a quarter of them, as a
// lost segment waits for its retransmission or a full socket buffer drains.
enum class Cutting { Segments, RandomPieces, Joined, Paused };

struct Read {
    std::string bytes;
    std::chrono::milliseconds gapAfter;
};

inline std::vector<Read> cut(const std::vector<std::string>& messages, Cutting cutting, std::mt19937_64& random)
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
        const std::size_t size = cutting == Cutting::RandomPieces ? static_cast<std::size_t>(between(1, 1448)) : 1448;
        const int gap = cutting == Cutting::Segments                        ? between(5, 50)
                        : cutting == Cutting::Paused && random() % 4 == 0 ? between(210, 1000)
                        : cutting == Cutting::Paused                      ? between(5, 20)
                                                                          : between(0, 20);
        reads.push_back({stream.substr(at, size), std::chrono::milliseconds(gap)});
        at += size;
    }
    return reads;
}

// A line as a peer types it (UTF-8, some of it beyond ASCII) or as binary
// bytes with 0, 1 and 255 among them.
inline std::string randomLine(std::mt19937_64& random, bool binary, std::size_t maxBytes)
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

} // namespace streamcutting

// An assembler fed reads on its own clock, waking it whenever it asked to be,
// with what comes out sorted into lines, keys and errors.
struct AssemblerFeed {
    void feed(const std::vector<streamcutting::Read>& reads)
    {
        using namespace std::chrono_literals;
        for (const streamcutting::Read& read : reads) {
            assembler.append(read.bytes, now);
            take();
            advance(now + read.gapAfter);
        }
        advance(now + MessageAssembler::GiveUpTime + 1s);
    }
    // The same on a receiver whose every power takes `powerTime`, as on a
    // loaded machine: the network keeps its own time, and what came while
    // the receiver worked is there at once, in one read, when it is done.
    void feedBusy(const std::vector<streamcutting::Read>& reads, std::chrono::microseconds powerTime)
    {
        std::vector<MessageAssembler::TimePoint> arrivals;
        for (MessageAssembler::TimePoint at = now; const streamcutting::Read& read : reads) {
            arrivals.push_back(at);
            at += read.gapAfter;
        }
        const auto work = [&](auto step) {
            const std::uint64_t before = assembler.powerMods();
            step();
            take();
            now += powerTime * (assembler.powerMods() - before);
        };
        // Until every read is in and nothing waits to be looked at.
        for (std::size_t next = 0; next < reads.size() || assembler.deadline();) {
            const auto deadline = assembler.deadline();
            if (next < reads.size() && arrivals[next] <= now) {
                std::string pending;
                for (; next < reads.size() && arrivals[next] <= now; ++next)
                    pending += reads[next].bytes;
                work([&] { assembler.append(pending, now); });
            } else if (deadline && (next == reads.size() || *deadline <= arrivals[next])) {
                now = std::max(now, *deadline);
                work([&] { assembler.timePassed(now); });
            } else {
                now = arrivals[next];
            }
        }
    }
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
        using Kind = MessageAssembler::Message::Kind;
        for (MessageAssembler::Message& message : assembler.takeMessages())
            (message.kind == Kind::Line ? lines : message.kind == Kind::Key ? keys : errors).push_back(message.text);
        mostHeld = std::max(mostHeld, assembler.buffered());
    }
    void clear()
    {
        lines.clear();
        keys.clear();
        errors.clear();
    }

    MessageAssembler assembler;
    MessageAssembler::TimePoint now = MessageAssembler::TimePoint{} + std::chrono::hours(1);
    std::vector<std::string> lines, keys, errors;
    std::size_t mostHeld = 0;  // the most bytes the assembler held after a step
};
