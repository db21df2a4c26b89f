// The best reading of a stretch of received bytes as a sequence of well-formed
// line messages under the peer's key.
//
// Each message of a reading scores the evidence its blocks and marker show
// (LineRecognizer::Piece::evidence), plus ContentBits when its line is text,
// less CutPenaltyBits; the best total wins, the one with fewer messages on a
// tie. Why these weights:
//   - a wrong cut passes the recognizer's tests with odds about 2^-evidence;
//   - a wrong cut decrypts to random bytes, which are text (UTF-8 without
//     NUL and backspace, LineRecognizer::typedAscii) with odds of about 1/2
//     a byte, so a text line earns a bit per byte, -log2(1/2);
//   - every cut is a guess among the ~k/8 starts a block holds: 12 bits
//     outweighs that many chances at k = 195 (log2(195/8 * 16) < 9) with room.
// Two cases cannot be told apart by any weight, and the README proves them:
// a message of 8j whole blocks joined behind another reads with it as one
// well-formed message, and a long message reads as two where a block of it
// decrypts to zeros and the marker. Binary lines meet them; text decides.
#pragma once

#include "session/linerecognizer.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

class ReadingSearch {
public:
    static constexpr int CutPenaltyBits = 12;
    // What a cut where a read ended shows: the network ends a read at a given
    // byte with odds of about 1/1448 when it cuts into segments, but at a
    // message's end whenever the sender paused, so such a cut is most of the
    // way to free.
    static constexpr int ReadEndBits = 10;
    // Evidence of a message that a wrong cut shows with odds below 2^-24: a
    // message this clear ends the search for others, and one whose start
    // shows this much lets the messages before it be told.
    static constexpr int ClearBits = 24;
    // What a cut costs besides CutPenaltyBits, away from a read end, when the
    // messages on either side of it read as one well-formed message and the
    // second is not text: the bytes then read as well as one binary message
    // as two, and no weight tells which was sent (the README proves it).
    // Two read as one keep every byte, the marker showing as bytes 1 and 8
    // between them; one read as two loses those bytes. So such a cut must
    // show its start as clearly as ClearBits asks in all, where 13 zeros and
    // the marker, a chance at a block edge of a binary line with odds 2^-16,
    // had cut binary lines in 3 of seeds 1 to 1,000 of the property test.
    static constexpr int ThroughCutBits = ClearBits - CutPenaltyBits;
    // Readings deeper than this many messages are not looked for: four of
    // the longest line messages held, of the shortest (one block) at k = 60.
    static constexpr int MaxDepth = 4000;
    // Most places looked at in one search. Wrong starts chain back through a
    // genuine message a few blocks at a time, so the search is cut there: the
    // messages of a reading are found first, best-shown first, and the chains
    // of chance pieces behind them are what the cap cuts, while the powers
    // they cost are bounded by the credits. A reading holds a place for each
    // message, up to MaxDepth of them (a burst of short lines), and the wider
    // search added a quarter as many again in bursts of 3,400 lines.
    static constexpr std::size_t MaxNodes = 2 * MaxDepth;
    // How many starts found for one message are looked behind, best shown
    // first; the rest are mostly chance (each passes with odds 2^-evidence).
    static constexpr int StartsLookedBehind = 16;
    // What looking behind those starts may cost over a connection:
    // WideAllowance, and WidePerBlock for every k-bit block searched to. The
    // search looks at what is held every time more comes, mostly ending
    // inside a message, and each look may find chains of chance pieces at
    // about k/4 powers each: left unbounded, a long conversation spent the
    // connection's whole credit on them and its lines were dropped. Sized
    // from the property tests: it is a quarter of the allowance and half the
    // per-block credit (PowerBudget), so the rest never goes short, and a
    // quarter of it again still reads 199 of 200 seeds as sent.
    static constexpr std::uint64_t WideAllowance = 16384;
    static constexpr std::uint64_t WidePerBlock = 2;
    // A run this long before a start is as good as any: a chance one of 16
    // blocks has odds 2^-16.
    static constexpr int LongRunBlocks = 16;
    // How far behind the run of well-formed blocks a message may start: the
    // run goes on past a message's start with odds 2^-blocks.
    static constexpr int StartWindowBlocks = 16;
    // The same for clearStartBefore(), which tries every byte as an end: 4
    // blocks hold 15 in 16 starts, and one missed sends it on to the next.
    static constexpr int NearStartBlocks = 4;

    struct Result {
        std::optional<std::vector<LineRecognizer::Piece>> pieces;
        int score = 0;
        // False when the search was cut short (power limit, depth): a reading
        // found then may not be the best one.
        bool complete = true;
    };

    // The best reading of [from, to), found from the end. `readEnds` are
    // where reads ended: a message that starts at one costs no search.
    // Without `widen`, only the likeliest reading is looked for.
    Result best(LineRecognizer& recognizer, std::uint64_t from, std::uint64_t to,
                const std::deque<std::uint64_t>& readEnds = {}, bool widen = true);
    // The well-formed messages that end at `end` and start at or after `from`
    // that a reading considers: those that start where a read ended, and
    // when [from, end) is itself a clearly started text line, only it and
    // the ones on whole blocks of the run (another cut would need the first
    // message's blocks to pass under the second's alignment by chance);
    // otherwise the starts near where the run of blocks aligned on `end`
    // breaks off, at about one power each, the likeliest first; with `deep`,
    // the likely starts along the whole run too where none of those is a
    // clearly started text line. A message that starts at a read end does
    // not spare the search: inside a text line, a block that starts on the
    // low digits 111 of a byte reads as a message of its own.
    std::vector<LineRecognizer::Piece> endingAt(LineRecognizer& recognizer, std::uint64_t end, std::uint64_t from,
                                                const std::deque<std::uint64_t>& readEnds, bool deep = true);
    // The start of the message nearest before `to` that ends at most `reach`
    // bytes before it, starts after `from`, and shows its start clearly
    // (ClearBits), if one is found. Every byte is a candidate end, at about
    // three powers each (the run of blocks aligned on it fails after two on
    // average, and a start or two is tried for each block of it): the look
    // for message ends where neither a read end nor a long run shows one.
    // Such a start is a message's with odds above 1 - 2^-24, so what lies
    // before it is whole messages, whatever the bytes after it are.
    std::optional<std::uint64_t> clearStartBefore(LineRecognizer& recognizer, std::uint64_t from, std::uint64_t to,
                                                  std::uint64_t reach);
    // What a message adds to a reading, content included.
    int scoreOf(LineRecognizer& recognizer, const LineRecognizer::Piece& piece);
    // How clearly a message shows where it starts: its marker and its text.
    int startShown(LineRecognizer& recognizer, const LineRecognizer::Piece& piece)
    {
        return scoreOf(recognizer, piece) - piece.evidence() + CutPenaltyBits + piece.startEvidence();
    }
    // Whether a piece found ending where a message may end shows its start
    // clearly enough (ClearBits) to end the looking for others there, even
    // if every block after its first is a genuine text message's: a chance
    // start inside a text line, where a block of it loses a few leading
    // digits and decrypts to the marker, reads as the rest of that line. So
    // only its zeros, marker and first block's text count; and on a whole
    // block of the run (not at `from`), where a block of the line itself may
    // start with zeros and the marker, its zeros and marker alone.
    bool startsClearly(LineRecognizer& recognizer, const LineRecognizer::Piece& piece, std::uint64_t from);
    // Bytes before `base` are gone; what was learnt of them is dropped.
    void forgetBefore(std::uint64_t base);
    void clear() { contents_.clear(); }

private:
    // Whether `piece` is not text and reads as one well-formed message
    // with `before`, the message in front of it: it starts on a whole block
    // of the blocks aligned on its end, and `before` continues them.
    bool readsThrough(LineRecognizer& recognizer, const LineRecognizer::Piece& before,
                      const LineRecognizer::Piece& piece);
    // Whether the line `piece` decrypts to is text (it scores for its bytes).
    bool readsAsText(LineRecognizer& recognizer, const LineRecognizer::Piece& piece);
    // Powers looking behind more than one start may still spend.
    std::uint64_t wideRoom(std::size_t keyBits) const;

    std::uint64_t seenTo_ = 0;     // the furthest stream offset searched to
    std::uint64_t wideSpent_ = 0;  // powers spent looking behind more than one start
    // What each message's line adds, by its stream offsets: a line is decoded
    // once however often the bytes are looked at.
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> contents_;
};
