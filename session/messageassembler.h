// Turns the bytes of one connection back into the messages the peer sent,
// however the network split or joined them, at a bounded cost.
//
// The messages (wireformat.h) carry no header, length or terminator; nothing
// on the wire changes, and the receiver finds the cuts itself:
//   - when the key message ends: KeyCutter (keycutter.h);
//   - how the bytes after it read as line messages: ReadingSearch
//     (readingsearch.h) over LineRecognizer (linerecognizer.h);
//   - when a message that ends where the bytes end is whole, when to look
//     while bytes keep coming, and when to give bytes up: ArrivalClock
//     (arrivalclock.h);
//   - which messages are whole while a long one is still arriving: the
//     reading up to a byte edge inside it (lookInsideMessageInProgress);
//     while short ones keep coming: the reading up to the nearest start that
//     shows clearly (lookInsideBurst);
//   - what all of it may cost: PowerBudget (powerbudget.h). A look that runs
//     out of its slice goes on at the next event (deadline() is then now);
//     one that runs out of the connection's credit waits for more bytes.
// Bytes that read as no message are dropped with one error once GiveUpTime
// passes without more, as soon as a clearly started message follows them, or
// once MaxHeldBytes are held and still read as nothing; no more than
// MaxBufferedBytes is ever held.
#pragma once

#include "bignum/GInt.h"
#include "session/arrivalclock.h"
#include "session/keycutter.h"
#include "session/linerecognizer.h"
#include "session/peerkey.h"
#include "session/powerbudget.h"
#include "session/readingsearch.h"
#include "session/wireformat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class MessageAssembler {
public:
    using Clock = ArrivalClock::Clock;
    using TimePoint = ArrivalClock::TimePoint;

    static constexpr std::size_t MaxLineMessage = WireFormat::MaxLineMessageBytes;
    // Most bytes held while they keep coming with no reading found: a few of
    // the longest line messages, so that sends joined back to back still fit.
    static constexpr std::size_t MaxHeldBytes = 4 * MaxLineMessage;
    // Most bytes ever held: a receiver busy with other work falls behind a
    // burst of long lines by more than MaxHeldBytes for a while (twice that
    // dropped lines of the burst property test, four times never did); a
    // flood beyond it is dropped as it comes.
    static constexpr std::size_t MaxBufferedBytes = 4 * MaxHeldBytes;
    // How much a burst of short lines grows between looks for a clear start
    // in it (lookInsideBurst): a quarter of MaxHeldBytes, so that a burst is
    // read in a few steps before the held bytes reach it. A look costs about
    // three powers for each byte it looks back over, mostly part of a short
    // line: about half a power a block of what came since the last.
    static constexpr std::size_t BurstLookBytes = MaxHeldBytes / 4;
    // How far back from the end such a look goes, in k-bit blocks: the
    // message still arriving holds fewer than LongRunBlocks + 8 of them (else
    // lookInsideMessageInProgress finds an edge inside it), and this reaches
    // past it and one more as long.
    static constexpr int BurstReachBlocks = 2 * (ReadingSearch::LongRunBlocks + 8);
    // What such a look may spend for each byte it reaches back over: it costs
    // about three, but bytes that repeat (a run of equal blocks) offer a start
    // or two for every block of the run.
    static constexpr std::uint64_t BurstPowersPerByte = 4;
    static constexpr auto SettleTime = ArrivalClock::SettleTime;
    static constexpr auto PauseTime = ArrivalClock::PauseTime;
    static constexpr auto GiveUpTime = ArrivalClock::GiveUpTime;

    struct Message {
        enum class Kind { Key, Line, Error };
        Kind kind = Kind::Line;
        // The key message, the decrypted line, or the error for dropped bytes.
        std::string text;
        // The numbers of the key message.
        PeerKey key = {};
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

    // The peer's key message is the next thing to come: from expectKey() until
    // it has been told.
    bool awaitingKey() const { return mode_ == Mode::Key; }
    std::size_t buffered() const { return bytes_.size(); }
    // Modular powers spent on recognising messages since the last restart.
    std::uint64_t powerMods() const { return budget_.spent(); }

private:
    enum class Mode { Idle, Key, Line };

    void look(TimePoint now, bool closing);
    void lookAtKey(TimePoint now, bool closing);
    void lookAtLines(TimePoint now, bool closing);
    bool lookInsideMessageInProgress();
    bool lookInsideBurst(bool due);
    std::optional<std::uint64_t> edgeOnLongRun();
    bool dropGarbageBeforeClearMessage();
    void keepMessagesBeforeGarbage();
    void deliver(const std::vector<LineRecognizer::Piece>& pieces);
    void dropGarbage(std::uint64_t upTo);
    void consume(std::size_t count);
    std::uint64_t end() const { return base_ + bytes_.size(); }

    Mode mode_ = Mode::Idle;
    std::string bytes_;
    std::uint64_t base_ = 0;  // stream offset of bytes_[0]
    ArrivalClock clock_;
    PowerBudget budget_;
    std::unique_ptr<KeyCutter> keyCutter_;
    std::unique_ptr<LineRecognizer> recognizer_;
    std::unique_ptr<ReadingSearch> search_;
    TimePoint lastLook_{};
    std::uint64_t gridEdge_ = 0;  // the last edge inside a message read up to
    std::uint64_t burstLook_ = 0;  // where the bytes ended at the last look inside a burst
    std::uint64_t burstStart_ = 0;  // a clear start found there, not yet read up to
    std::uint64_t burstRoom_ = 0;   // powers the look for it may still spend
    bool looked_ = false;    // a look found all it could since the last byte came
    bool fresh_ = false;     // bytes came since the last look
    bool dropping_ = false;  // garbage was dropped and no message has read since
    bool floodDropped_ = false;  // the last drop was of more than MaxHeldBytes
    std::vector<Message> out_;
};
