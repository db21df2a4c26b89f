// When the bytes of one connection came, and what that allows the receiver to
// conclude. The clock is passed in, so all of it runs on a fake one in tests.
//
// A line message shows where it ends only by passing the decryption's tests,
// and a message still arriving can pass them too: where a pause falls a whole
// multiple of 8 blocks before its end, what came so far is a well-formed
// shorter message. Pauses happen where the network cut a write: a lost
// segment waits for its retransmission (at least 200 ms on Linux), a sender
// whose socket buffer is full sends the rest once it drains. So the last
// message in the buffer is taken as whole only after
//   - SettleTime of quiet when everything held came in one read shorter than
//     WholeWriteBytes: the network cuts a write only into segments of at least
//     that size, so such a read ended where its sender's write ended;
//   - PauseTime of quiet otherwise, longer than the pauses that cut messages.
// While bytes keep coming they are looked at every HoldTime, and the messages
// in front of a clearly started one are told then. Bytes that read as no
// message are given up after GiveUpTime of quiet, longer than PauseTime so
// that a paused message is never taken for garbage.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

class ArrivalClock {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Duration = Clock::duration;

    // Long enough for the reads of one write on a loaded machine, short enough
    // that a typed line shows at once (well within 100 ms).
    static constexpr std::chrono::milliseconds SettleTime{60};
    // Above the 1.5 s that a retransmission or a draining sender may pause.
    static constexpr std::chrono::milliseconds PauseTime{1600};
    // How often a stream that never pauses is looked at: one look per few
    // TCP segments keeps the held bytes few without looking at every read.
    static constexpr std::chrono::milliseconds HoldTime{80};
    static constexpr std::chrono::milliseconds GiveUpTime{2000};
    // The smallest segment every IPv4 path carries (the default MSS of RFC 1122).
    static constexpr std::size_t WholeWriteBytes = 536;
    // Read ends remembered past the last message told, as cheap message ends.
    static constexpr std::size_t MaxReadEnds = 16;

    // A new connection.
    void restart();
    // A read of `bytes` bytes ending at stream offset `end` came at `now`.
    void arrived(std::uint64_t end, std::size_t bytes, TimePoint now);
    // Everything before stream offset `base` has been told.
    void told(std::uint64_t base);
    // A look was made at `now` while bytes kept coming.
    void looked(TimePoint now) { lookedAt_ = now; }
    // The short read held does not read as a message clearly enough to be
    // taken as a whole write: it may be the front of a longer message whose
    // sender paused, so it waits PauseTime like any other, until the next read.
    void doubt() { doubted_ = true; }

    TimePoint lastArrival() const { return lastArrival_; }
    Duration quiet(TimePoint now) const { return now - lastArrival_; }
    // Quiet needed before the last message held from `base` on is taken as whole.
    Duration settleNeeded(std::uint64_t base) const;
    bool settled(std::uint64_t base, TimePoint now) const { return quiet(now) >= settleNeeded(base); }
    bool givenUp(TimePoint now) const { return quiet(now) >= GiveUpTime; }
    // Whether bytes that keep coming are due for a look.
    bool holdDue(TimePoint now) const { return now - lookedAt_ >= HoldTime; }
    TimePoint nextHold() const { return lookedAt_ + HoldTime; }
    // Where recent reads ended, after the last message told, earliest first.
    const std::deque<std::uint64_t>& readEnds() const { return readEnds_; }

private:
    TimePoint lastArrival_{};
    TimePoint lookedAt_{};
    std::uint64_t lastReadBegin_ = 0;
    std::size_t lastReadBytes_ = 0;
    bool doubted_ = false;
    std::deque<std::uint64_t> readEnds_;
};
