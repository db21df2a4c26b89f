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
// (one TCP segment) a few ms apart, random pieces, or sends joined in one read.
enum class Cutting { Segments, RandomPieces, Joined };

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
};
