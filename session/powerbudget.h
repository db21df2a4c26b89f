// What telling one connection's messages apart may cost, in modular powers.
//
// The peer chooses its key and how its bytes are cut, so the cost of the
// search for message ends is bounded here and not by how the bytes come:
//
//   powers spent <= Allowance(k) + PerBlock(k) * (k-bit blocks received)
//
// PerBlock: decrypting a genuine message takes one power per block, and
// finding where it ends about one more per block (the run of blocks aligned
// on a candidate end fails after two blocks on average); 4 leaves room for
// the looks made while a long message is still arriving. But finding where
// a message starts costs a few powers whatever its length, and more where
// it is read among chance pieces: bursts of lines of one or two blocks
// (under 30 bytes, pasted or piped) cost up to 15 powers a block, measured
// over bursts of 2 x 64 KiB under ten keys of the key generator. So under
// the keys it makes, where a power costs under 10 us, it is 16
// (SmallKeyPerBlock); above them 4.
// Allowance: the cut between messages joined in one read costs about k/4
// powers (k/8 candidate starts in each of the two blocks around where the
// run breaks). Every key the shared key generator makes has at most 195 binary
// digits, where a power costs under 10 us: up to SmallKeyBits the allowance
// is 65,536 powers (about 0.6 s), so a genuine peer never reaches it. Above,
// where a stranger's 1,024-bit key with a full-length exponent costs 0.5 ms
// a power, it is 512 powers (about 0.25 s): for most such keys enough to find
// the cut between two long lines joined in segments (about 180 powers).
#pragma once

#include "session/linerecognizer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

class PowerBudget {
public:
    static constexpr std::uint64_t PerBlock = 4;
    static constexpr std::uint64_t SmallKeyPerBlock = 16;
    static constexpr std::size_t SmallKeyBits = 256;
    static constexpr std::uint64_t SmallKeyAllowance = 65536;
    static constexpr std::uint64_t LargeKeyAllowance = 512;
    // What each k-bit block received adds to the credit under a key of `keyBits`.
    static std::uint64_t perBlock(std::size_t keyBits) { return keyBits <= SmallKeyBits ? SmallKeyPerBlock : PerBlock; }
    // Most powers one event may spend. Under the keys the key generator
    // makes: one DecryptLine of the longest line message (16 KiB), under
    // 10 ms. Above: half of one, 64 powers under a stranger's 1,024-bit key
    // with a full-length exponent, 30 ms unloaded and about 85 ms beside a
    // flood of its bytes, so a key press waits at most a read's and a
    // timer's slice. A search cut short goes on where it stopped (the blocks
    // it decrypted are kept), but each slice walks it again from the start,
    // so slices are no smaller than they need to be.
    static std::uint64_t slicePowers(std::size_t keyBits)
    {
        const std::size_t bits = std::max<std::size_t>(keyBits, 1);
        return std::max<std::uint64_t>((bits <= SmallKeyBits ? 8 * 16384 : 8 * 8192) / bits, 1);
    }

    // Why the last search under a power limit stopped short, if it did.
    enum class Shortfall { None, Slice, Credit };

    // A new connection: nothing received, nothing spent.
    void restart()
    {
        receivedBytes_ = 0;
        spent_ = 0;
        beginEvent();
    }
    // A new event: a new slice.
    void beginEvent()
    {
        sliceSpent_ = 0;
        shortfall_ = Shortfall::None;
    }
    // What is left of the credit and of this event's slice under a key of `keyBits`.
    std::uint64_t room(std::size_t keyBits) const
    {
        const std::uint64_t slice = slicePowers(keyBits);
        return std::min(credit(keyBits), slice > sliceSpent_ ? slice - sliceSpent_ : 0);
    }
    // `recognizer` may spend what is left of the credit and of the slice, and
    // no more than `share` of it...
    void open(LineRecognizer& recognizer, std::uint64_t share = UINT64_MAX)
    {
        opened_ = recognizer.powerMods();
        recognizer.setPowerLimit(opened_ + std::min(share, room(recognizer.blockBits())));
    }
    // ... and what it spent is counted. True when it was starved.
    bool close(LineRecognizer& recognizer)
    {
        const std::uint64_t used = recognizer.powerMods() - opened_;
        spend(used);
        sliceSpent_ += used;
        const bool starved = recognizer.starved();
        if (starved && room(recognizer.blockBits()) == 0)
            shortfall_ = credit(recognizer.blockBits()) == 0 ? Shortfall::Credit : Shortfall::Slice;
        recognizer.setPowerLimit(UINT64_MAX);
        return starved;
    }
    Shortfall shortfall() const { return shortfall_; }
    void received(std::size_t bytes) { receivedBytes_ += bytes; }
    void spend(std::uint64_t powers) { spent_ += powers; }
    std::uint64_t spent() const { return spent_; }
    // The powers that may still be spent under a key of `keyBits` binary digits.
    std::uint64_t credit(std::size_t keyBits) const
    {
        const std::uint64_t allowance = keyBits <= SmallKeyBits ? SmallKeyAllowance : LargeKeyAllowance;
        const std::uint64_t earned = allowance + perBlock(keyBits) * (8 * receivedBytes_ / std::max<std::size_t>(keyBits, 1));
        return earned > spent_ ? earned - spent_ : 0;
    }

private:
    std::uint64_t receivedBytes_ = 0;
    std::uint64_t spent_ = 0;
    std::uint64_t sliceSpent_ = 0;
    std::uint64_t opened_ = 0;
    Shortfall shortfall_ = Shortfall::None;
};
