// Turns the bytes of one connection back into the messages the peer sent,
// however the network split or joined them.
//
// Wire format: one key message ("d::n" from a client, "d//n" from a server,
// decimal), then line messages (EncryptLine ciphertexts), each written with
// one send and with no header, length or terminator. Nothing on the wire
// changes; the receiver finds the cuts itself.
//
// Line messages are recognised by the tests in linerecognizer.cpp. A wrong
// cut of b blocks passes them with odds about 2^-(b + pad + 3), where pad is
// the zeros it shows before its marker: a piece earns that many bits of
// evidence. Two facts shape the rules:
//   - A message still arriving can look whole: where a read ends a multiple
//     of 8 blocks before the message's end, what came so far is the message
//     less whole blocks and passes every test. So a message that ends where
//     the bytes end is shown only once no byte has come for SettleTime, or
//     once a well-formed message with ConfidentBits of evidence follows it.
//   - Of two messages joined, a second one made of 8s whole blocks reads
//     together with the first as one message, and a long message reads as
//     two where a block of it decrypts to zeros and "111" (its line holds
//     byte 8 there, after bytes 1). Only the odds tell these apart.
// The cuts: the readings of the buffer as a sequence of well-formed messages
// are scored, each message with its evidence, plus up to 24 bits when its
// line is text (UTF-8 without control bytes but tab and carriage return: a
// wrong cut decrypts to random bytes) or minus 3 when it is not, less
// CutPenaltyBits; the best reading wins, the one with fewer messages on a tie.
// So a message of 8s whole blocks behind another is cut off when its line or
// the other's is text, or its marker shows 13 zeros or more; otherwise the
// two are read as one. README, "When the network splits and joins messages",
// gives the measured odds of a wrong cut.
//
// Key message: while the bytes end in the modulus digits, more may follow, so
// it is taken only once no byte has come for SettleTime. A line joined behind
// it may itself start with digit bytes: the key is cut where the rest reads
// best as line messages under the key that cut gives.
//
// Garbage: bytes that never read as messages are dropped with one error once
// no byte has come for GiveUpTime, or as soon as a confident message after
// them has come, or once MaxHeldBytes are held and still read as nothing.
#pragma once

#include "bignum/GInt.h"
#include "session/linerecognizer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class MessageAssembler {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static constexpr std::size_t MaxLineMessage = LineRecognizer::MaxPiece;
    // Most bytes held while they keep coming with no pause to read them in:
    // a few of the longest line messages.
    static constexpr std::size_t MaxHeldBytes = 4 * MaxLineMessage;
    static constexpr std::chrono::milliseconds SettleTime{60};
    static constexpr std::chrono::milliseconds HoldTime{80};
    static constexpr std::chrono::milliseconds GiveUpTime{2000};
    static constexpr int CutPenaltyBits = 12;
    static constexpr int ConfidentBits = 24;
    // How far behind the run of well-formed blocks a message may start.
    static constexpr int StartWindowBlocks = 16;

    struct Message {
        enum class Kind { Key, Line, Error };
        Kind kind = Kind::Line;
        // The key message, the decrypted line, or the error for dropped bytes.
        std::string text;
    };

    MessageAssembler();
    ~MessageAssembler();

    // A new connection: the buffer is emptied and nothing is expected yet.
    void restart();
    // The peer's key message comes next, with `separator` between its numbers.
    void expectKey(std::string_view separator);
    // Line messages under the peer's (exponent, modulus) come next (copied).
    void expectLines(GInt::Num exponent, GInt::Num modulus);

    // Bytes of one read, at `now`.
    void append(std::string_view bytes, TimePoint now);
    // No byte has come until `now`: messages that were waiting may be told.
    void timePassed(TimePoint now);
    // The connection ended at `now`: what waits is told as if it had settled,
    // and bytes that read as no message are dropped with their error.
    void finish(TimePoint now);
    // The messages told so far, in order; each is handed out once.
    std::vector<Message> takeMessages();
    // When timePassed() has something to do, if anything waits.
    std::optional<TimePoint> deadline() const;

    std::size_t buffered() const { return bytes_.size(); }
    // Modular powers spent on recognising messages since the last restart.
    std::uint64_t powerMods() const;

private:
    enum class Mode { Idle, Key, Line };

    void analyze(TimePoint now, bool settled);
    void analyzeKey(TimePoint now, bool settled);
    void analyzeLines(TimePoint now, bool settled);
    std::optional<std::vector<LineRecognizer::Piece>> bestReading(LineRecognizer& recognizer, std::uint64_t from,
                                                                 std::uint64_t to, std::uint64_t allowance,
                                                                 int* score = nullptr, bool* complete = nullptr);
    std::uint64_t allowance(const LineRecognizer& recognizer) const;
    void deliver(LineRecognizer& recognizer, const std::vector<LineRecognizer::Piece>& pieces);
    void dropGarbage(std::uint64_t upTo);
    void consume(std::size_t count);
    std::uint64_t end() const { return base_ + bytes_.size(); }

    Mode mode_ = Mode::Idle;
    std::string separator_;
    std::string bytes_;
    std::uint64_t base_ = 0;  // stream offset of bytes_[0]
    std::deque<std::uint64_t> readEnds_;  // stream offsets where recent reads ended
    // What each piece's line adds to a reading, by its stream offsets: looked
    // at once however often the bytes are.
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> contents_;
    TimePoint lastArrival_{};
    TimePoint heldSince_{};  // when the oldest byte still held came
    bool settled_ = false;   // analysed since the last byte came
    bool dropping_ = false;  // garbage was dropped and no message has read since
    std::unique_ptr<LineRecognizer> recognizer_;
    std::uint64_t retiredPowerMods_ = 0;
    std::vector<Message> out_;
};
