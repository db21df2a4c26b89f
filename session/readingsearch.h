// The best reading of a stretch of received bytes as a sequence of well-formed
// line messages under the peer's key.
//
// Each message of a reading scores the evidence its blocks and marker show
// (LineRecognizer::Piece::evidence), plus ContentBits when its line is text,
// less CutPenaltyBits; the best total wins, the one with fewer messages on a
// tie. Why these weights:
//   - a wrong cut passes the recognizer's tests with odds about 2^-evidence;
//   - a wrong cut decrypts to random bytes, which are text (UTF-8 without
//     control bytes but tab and carriage return) with odds of about 3/8 a
//     byte, so a text line earns a bit per byte, a conservative -log2(3/8);
//   - every cut is a guess among the ~k/8 starts a block holds: 12 bits
//     outweighs that many chances at k = 195 (log2(195/8 * 16) < 9) with room.
// Two cases cannot be told apart by any weight, and the README proves them:
// a message of 8j whole blocks joined behind another reads with it as one
// well-formed message, and a long message reads as two where a block of it
// decrypts to zeros and the marker. Binary lines meet them; text decides.
#pragma once

#include "session/linerecognizer.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

class ReadingSearch {
public:
    static constexpr int CutPenaltyBits = 12;
    // Evidence of a message that a wrong cut shows with odds below 2^-24: a
    // message this clear ends the search for others, and one whose start
    // shows this much lets the messages before it be told.
    static constexpr int ClearBits = 24;
    // Readings deeper than this many messages are not looked for: four of
    // the longest line messages held, of the shortest (one block) at k = 60.
    static constexpr int MaxDepth = 4000;
    // How many starts found for one message are looked behind, best shown
    // first; the rest are mostly chance (each passes with odds 2^-evidence).
    static constexpr int StartsLookedBehind = 4;
    // How far behind the run of well-formed blocks a message may start: the
    // run goes on past a message's start with odds 2^-blocks.
    static constexpr int StartWindowBlocks = 16;

    struct Result {
        std::optional<std::vector<LineRecognizer::Piece>> pieces;
        int score = 0;
        // False when the search was cut short (power limit, depth): a reading
        // found then may not be the best one.
        bool complete = true;
    };

    // The best reading of [from, to), found from the end. `readEnds` are
    // where reads ended: a message that starts at one costs no search.
    Result best(LineRecognizer& recognizer, std::uint64_t from, std::uint64_t to,
                const std::deque<std::uint64_t>& readEnds = {});
    // The well-formed messages that end at `end` and start at or after `from`
    // that a reading considers. The cheap ones come first: when [from, end)
    // is itself a message, or one starts where a read ended, only those and
    // the ones on whole blocks of the run are taken (another cut would need a
    // second message passing the tests by chance); otherwise every start
    // near where the run of blocks aligned on `end` breaks off, at about one
    // power each.
    std::vector<LineRecognizer::Piece> endingAt(LineRecognizer& recognizer, std::uint64_t end, std::uint64_t from,
                                                const std::deque<std::uint64_t>& readEnds);
    // What a message adds to a reading, content included.
    int scoreOf(LineRecognizer& recognizer, const LineRecognizer::Piece& piece);
    // How clearly a message shows where it starts: its marker and its text.
    int startShown(LineRecognizer& recognizer, const LineRecognizer::Piece& piece)
    {
        return scoreOf(recognizer, piece) - piece.evidence() + CutPenaltyBits + piece.startEvidence();
    }
    // Bytes before `base` are gone; what was learnt of them is dropped.
    void forgetBefore(std::uint64_t base);
    void clear() { contents_.clear(); }

private:
    // What each message's line adds, by its stream offsets: a line is decoded
    // once however often the bytes are looked at.
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> contents_;
};
