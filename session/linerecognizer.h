// Tells whether a stretch of received bytes is one well-formed line message
// under the peer's key, and finds the stretches that end at a given place.
// Positions are offsets in the connection's byte stream; blocks decrypted once
// are kept, so the questions asked as the stream grows stay cheap.
#pragma once

#include "bignum/GInt.h"
#include "bignum/montgomery.h"
#include "bignum/words.h"
#include "session/wireformat.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class LineRecognizer {
public:
    // Longest line message taken in: a typed line is far shorter.
    static constexpr std::size_t MaxPiece = WireFormat::MaxLineMessageBytes;

    // A stretch [begin, end) of the stream that is a well-formed line message.
    struct Piece {
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
        int blocks = 0;     // k-digit blocks
        int distinct = 0;   // different block values among them
        int pad = 0;        // zeros before the marker
        // Digits of the first block, from its first one digit; 0 under a key
        // whose short blocks decrypt to short numbers, where zeros show nothing.
        int frontBits = 0;
        // About -log2 of the odds that a wrong cut passes every test this one
        // passed: a bit per different block (repeated bytes repeat blocks,
        // which pass or fail together), and the marker with its zeros in
        // front. A first block of few digits has few values to show zeros by
        // chance (the block "1" decrypts to 1 under every key), so the marker
        // counts for at most as many bits as the block has.
        int evidence() const { return distinct + startEvidence(); }
        // The part of it that shows where the piece starts: a piece cut off
        // a message on one of its block edges has that message's blocks.
        int startEvidence() const { return std::min(pad, frontBits) + 3; }
    };

    // Zeros in front of what 2 decrypts to that mark a key under which short
    // blocks decrypt to short numbers (see the constructor).
    static constexpr std::size_t ClearFrontBits = 24;

    // Copies the peer's decryption exponent and modulus (at least two binary
    // digits), and decrypts 2 to tell whether starts show under them.
    LineRecognizer(GInt::Num exponent, GInt::Num modulus);

    // k, the binary length of the modulus.
    std::size_t blockBits() const { return k_; }
    // Modular powers spent so far: the cost of every answer.
    std::uint64_t powerMods() const { return powerMods_; }
    // No more than `limit` powers in all may be spent. A block that would pass
    // it is not decrypted: the answers that needed it come out negative and
    // starved() tells that they may be wrong, until a higher limit.
    void setPowerLimit(std::uint64_t limit)
    {
        powerLimit_ = limit;
        starved_ = false;
    }
    std::uint64_t powerLimit() const { return powerLimit_; }
    bool starved() const { return starved_; }

    // The bytes held from stream offset `base` on; what lies before `base` is forgotten.
    void setBytes(std::string_view bytes, std::uint64_t base);
    // [begin, end) as one line message, if it is one.
    std::optional<Piece> pieceAt(std::uint64_t begin, std::uint64_t end);
    // Which starts piecesEndingAt() tries, by what they cost.
    enum class Starts {
        // On whole blocks of the run aligned on the end, and at `from`: no
        // power beyond the run's.
        OnRun,
        // Those, then the starts near where the run breaks off whose first
        // block lost fewer than MaxDroppedZeros leading zero digits, or is
        // the one digit 1: at most four a block, a power each.
        Likely,
        // Those, then every other start near where the run breaks off: about
        // k/8 more a block, a power each.
        All,
    };
    // The encoder drops the leading zeros of a message's first block, a
    // residue below n: it drops this many or more with odds below 2^-15
    // (8 or more, 1 in 256, cut a line of a burst test).
    static constexpr int MaxDroppedZeros = 16;
    // The line messages that end at `end` and start at or after `from`, among
    // `starts`: near where the run of well-formed blocks before `end` breaks
    // off means a first block within `window` blocks of there. The looking
    // stops at the first that `enough` accepts.
    std::vector<Piece> piecesEndingAt(std::uint64_t end, std::uint64_t from, int window, Starts starts,
                                      const std::function<bool(const Piece&)>& enough = {});
    // Whether a message [begin, end) has a whole block aligned on `end` for its
    // first: its first digit, or the leading zeros of its first byte, meet a
    // block edge. Such a start costs no power beyond the blocks of the run.
    bool onWholeBlock(std::uint64_t begin, std::uint64_t end) const;
    // Whole well-formed blocks right before `end`, counted back to `from` at most.
    int runBefore(std::uint64_t end, std::uint64_t from);
    // Different values among the first `blocks` of that run (at most as many).
    int distinctInRun(std::uint64_t end, int blocks);
    // The line a piece decrypts to.
    std::string line(const Piece& piece);
    // The same, or nothing once a byte of it cannot be part of typed text.
    std::optional<std::string> textLine(const Piece& piece);
    // Whether an ASCII byte (below 0x80) may be part of a typed line. Control
    // bytes may: a terminal passes Ctrl-A or an Escape sequence into the line, and a line
    // holding one must still read as text, or its text front, cut off at a
    // chance start inside it, would outscore the whole line. Only NUL and the
    // backspace (byte 8) may not: zeros and the marker "111" in front of a
    // message show as bytes 1 and a byte 8 when read on the grid of a message
    // before it, so the backspace is what tells two text lines read as one.
    static constexpr bool typedAscii(unsigned char byte) { return byte != 0 && byte != 8; }

private:
    // The outcome of decrypting one block value.
    struct Block {
        bool valid = false;
        bool starved = false;  // not decrypted: the power limit was reached
        GInt::words::Words plain;  // below 2^(k-1) when valid
        std::size_t fingerprint = 0;  // tells different values apart
    };

    // The whole blocks aligned on one end, as far back as they hold up.
    struct Run {
        std::vector<int> distinctUpTo;  // different values among the first t+1
        std::unordered_set<std::size_t> seen;
        bool broken = false;
    };

    const Run& runTo(std::uint64_t end, int blocks);
    std::optional<std::string> decode(const Piece& piece, bool textOnly);
    int patternAt(std::uint64_t byte) const;
    bool bitAt(std::uint64_t bit) const;
    GInt::words::Words bitsBetween(std::uint64_t first, std::uint64_t last) const;
    Block decrypt(const GInt::words::Words& cipher);
    const Block& wholeBlock(std::uint64_t endBit);
    const Block& frontBlock(std::uint64_t firstBit, std::uint64_t endBit);
    bool plainBit(const Piece& piece, const Block& front, int position);

    GInt::words::Words exponent_;
    GInt::words::Words modulus_;
    std::optional<GInt::montgomery::OddModulus> odd_;  // prepared once when the modulus is odd
    std::size_t k_ = 0;
    std::string_view bytes_;
    std::uint64_t base_ = 0;
    // Whole blocks by the stream bit they end at.
    std::unordered_map<std::uint64_t, Block> whole_;
    // First blocks shorter than k digits, by their first and end bits.
    std::map<std::pair<std::uint64_t, std::uint64_t>, Block> fronts_;
    std::unordered_map<std::uint64_t, Run> runs_;  // by the end they are aligned on
    std::uint64_t powerMods_ = 0;
    std::uint64_t powerLimit_ = UINT64_MAX;
    bool starved_ = false;
    bool startsShow_ = true;  // the zeros in front of a start show how it was cut
    const Block starvedBlock_{false, true, {}, 0};
};
