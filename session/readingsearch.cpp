#include "session/readingsearch.h"

#include "session/powerbudget.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <string>
#include <string_view>

namespace {

using Piece = LineRecognizer::Piece;

// Text as people type it: UTF-8 without the bytes LineRecognizer::typedAscii
// rules out.
bool isText(std::string_view line)
{
    for (std::size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        int extra = 0;
        if (c < 0x80) {
            if (!LineRecognizer::typedAscii(static_cast<unsigned char>(c)))
                return false;
        } else if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            extra = 2;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= line.size() && extra > 0)
            return false;
        for (int j = 1; j <= extra; ++j)
            if ((static_cast<unsigned char>(line[i + j]) & 0xc0) != 0x80)
                return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

} // namespace

std::uint64_t ReadingSearch::wideRoom(std::size_t keyBits) const
{
    const std::uint64_t earned = WideAllowance + WidePerBlock * (8 * seenTo_ / std::max<std::size_t>(keyBits, 1));
    return earned > wideSpent_ ? earned - wideSpent_ : 0;
}

int ReadingSearch::scoreOf(LineRecognizer& recognizer, const Piece& piece)
{
    const auto [known, fresh] = contents_.try_emplace({piece.begin, piece.end}, 0);
    if (fresh)
        if (const std::optional<std::string> text = recognizer.textLine(piece))
            known->second = isText(*text) ? static_cast<int>(text->size()) : 0;
    return piece.evidence() + known->second - CutPenaltyBits;
}

bool ReadingSearch::readsThrough(LineRecognizer& recognizer, const Piece& before, const Piece& piece)
{
    return recognizer.onWholeBlock(piece.begin, piece.end)
           && !readsAsText(recognizer, piece) && recognizer.pieceAt(before.begin, piece.end).has_value();
}

bool ReadingSearch::readsAsText(LineRecognizer& recognizer, const Piece& piece)
{
    return scoreOf(recognizer, piece) > piece.evidence() - CutPenaltyBits;
}

bool ReadingSearch::startsClearly(LineRecognizer& recognizer, const Piece& piece, std::uint64_t from)
{
    if (piece.startEvidence() >= ClearBits)
        return true;
    if (piece.begin != from && recognizer.onWholeBlock(piece.begin, piece.end))
        return false;
    const int text = scoreOf(recognizer, piece) - piece.evidence() + CutPenaltyBits;
    const int frontBytes = (static_cast<int>(recognizer.blockBits()) - 1 - piece.pad - 3) / 8;
    return piece.startEvidence() + std::min(text, std::max(frontBytes, 0)) >= ClearBits;
}

void ReadingSearch::forgetBefore(std::uint64_t base)
{
    contents_.erase(contents_.begin(), contents_.lower_bound({base, 0}));
}

// Found from the end: each message's start is looked for where the blocks
// aligned on its end break off, and the reading of what lies before it the
// same way, depth first and memoised by position. Readings are tried in the
// order they are likely: the message reaching back to `from`, then those with
// a single message before them, then the rest by their own score.
std::vector<Piece> ReadingSearch::endingAt(LineRecognizer& recognizer, std::uint64_t end, std::uint64_t from,
                                           const std::deque<std::uint64_t>& readEnds, bool deep)
{
    // A message whose start shows little may be there by chance (its blocks
    // are those of whatever message ends here): it does not spare the search.
    // Nor does one that is not text: messages behind it that end on its
    // alignment (odds about 1/k) read with it as one, their middle noise.
    bool cheap = false;
    if (const auto whole = recognizer.pieceAt(from, end))
        cheap = startShown(recognizer, *whole) >= ClearBits && readsAsText(recognizer, *whole);
    std::vector<Piece> found;
    for (const std::uint64_t readEnd : readEnds) {
        if (readEnd <= from || readEnd >= end)
            continue;
        if (const auto piece = recognizer.pieceAt(readEnd, end))
            found.push_back(*piece);
    }
    // Each start tried costs a power, about k/8 a block near where the run
    // breaks off, so the likely starts are tried first, and the looking ends
    // at the first text line that starts clearly (startsClearly), as a
    // genuine one does unless its zeros are few and its first block holds
    // few bytes. One that is not text may be two messages read as one, the
    // second starting further on at a start that is not a likely one: then
    // every start near where the run breaks off is tried.
    const auto add = [&found](const Piece& piece) {
        if (std::none_of(found.begin(), found.end(), [&](const Piece& known) { return known.begin == piece.begin; }))
            found.push_back(piece);
    };
    const auto clearText = [&](const Piece& piece) {
        return startsClearly(recognizer, piece, from) && readsAsText(recognizer, piece);
    };
    using Starts = LineRecognizer::Starts;
    for (const Piece& piece :
         recognizer.piecesEndingAt(end, from, StartWindowBlocks, cheap ? Starts::OnRun : Starts::Likely, clearText))
        add(piece);
    if (!cheap && std::none_of(found.begin(), found.end(), clearText))
        for (const Piece& piece : recognizer.piecesEndingAt(end, from, StartWindowBlocks, Starts::All, clearText))
            add(piece);
    // The run may go on far past a message's start: where the messages before
    // it end on its alignment (odds about 1/k) and the block or two between
    // pass by chance, the genuine start lies deeper in the run than the
    // window reaches, and what lies before reads with it as one well-formed
    // message whose middle decrypts to noise. So where the run is longer
    // than the window and no clearly started text line was found (a chance
    // start on a block of the last line reads as the rest of it), the likely
    // starts along the whole run are tried too: two or three powers a block,
    // spent on binary lines, such joins and edges inside long messages, and
    // never twice for one block edge. Only for the likeliest reading
    // (`deep`): the wider search looks behind chance starts inside binary
    // lines, each sharing its run with everything before it. Nor along runs
    // of repeated blocks (bytes repeated in junk, each block a power wherever
    // it lies), nor under keys larger than the key generator makes, where a
    // power is slow.
    const int run = recognizer.runBefore(end, from);
    if (deep && recognizer.blockBits() <= PowerBudget::SmallKeyBits && run > StartWindowBlocks
        && 2 * recognizer.distinctInRun(end, run) >= run && std::none_of(found.begin(), found.end(), clearText)) {
        for (const Piece& piece : recognizer.piecesEndingAt(end, from, run + 1, Starts::Likely))
            add(piece);
    }
    return found;
}

std::optional<std::uint64_t> ReadingSearch::clearStartBefore(LineRecognizer& recognizer, std::uint64_t from,
                                                             std::uint64_t to, std::uint64_t reach)
{
    for (std::uint64_t end = to; end > from && to - end <= reach && !recognizer.starved(); --end) {
        for (const Piece& piece :
             recognizer.piecesEndingAt(end, from, NearStartBlocks, LineRecognizer::Starts::Likely)) {
            if (piece.begin > from && startsClearly(recognizer, piece, from))
                return piece.begin;
        }
    }
    return std::nullopt;
}

ReadingSearch::Result ReadingSearch::best(LineRecognizer& recognizer, std::uint64_t from, std::uint64_t to,
                                          const std::deque<std::uint64_t>& readEnds, bool widen)
{
    bool cutShort = false;
    seenTo_ = std::max(seenTo_, to);
    struct Node {
        bool readable = false;
        int score = 0;
        Piece last;
        std::optional<Piece> head;  // the one message before `last`, when it starts at `from`
    };
    std::map<std::uint64_t, Node> nodes;
    int breadth = 1;
    // The messages found ending at each place, kept for the wider search: it
    // looks deeper only where the likeliest reading did not go.
    std::map<std::uint64_t, std::vector<Piece>> endingHere;

    std::function<Node(std::uint64_t, int)> bestTo = [&](std::uint64_t at, int depth) -> Node {
        if (const auto known = nodes.find(at); known != nodes.end())
            return known->second;
        Node node;
        if (at == from)
            node.readable = true;
        const auto consider = [&node](int total, const Piece& piece, std::optional<Piece> head = std::nullopt) {
            if (!node.readable || total > node.score)
                node = {true, total, piece, head};
        };
        // Pieces to read deeper, by what their start shows: its marker and its
        // text (every reading holds about the same number of blocks).
        struct Deeper {
            int start;  // what the piece adds to a reading, less its blocks
            int order;  // how likely it is to lead to the best reading
            bool afterRead;  // it starts where a read ended
            Piece piece;
        };
        std::vector<Deeper> deeper;
        const bool tooFar = depth >= MaxDepth || nodes.size() >= MaxNodes;
        if (at != from && tooFar)
            cutShort = true;
        bool clearFromStart = false;
        if (at != from && !tooFar && !recognizer.starved()) {
            auto found = endingHere.find(at);
            if (found == endingHere.end())
                found = endingHere.emplace(at, endingAt(recognizer, at, from, readEnds, breadth == 1)).first;
            for (const Piece& piece : found->second) {
                const bool afterRead = std::find(readEnds.begin(), readEnds.end(), piece.begin) != readEnds.end();
                const int own = scoreOf(recognizer, piece) + (afterRead ? ReadEndBits : 0);
                if (piece.begin == from) {
                    consider(own, piece);
                    clearFromStart = clearFromStart || startShown(recognizer, piece) >= ClearBits;
                    continue;
                }
                if (const auto head = recognizer.pieceAt(from, piece.begin))
                    consider(scoreOf(recognizer, *head) + own
                                 - (!afterRead && readsThrough(recognizer, *head, piece) ? ThroughCutBits : 0),
                             piece, head);
                // Where a genuine message ended, the blocks before it are that
                // message's and hold up; before a chance start they fail
                // after two on average. Long runs are looked behind first.
                const int run = std::min(recognizer.runBefore(piece.begin, from), LongRunBlocks);
                deeper.push_back({own - piece.blocks, own - piece.blocks + run, afterRead, piece});
            }
        }
        // Under a key larger than the key generator makes, a message that
        // clearly starts at `from` is the likeliest reading: a chance start
        // inside it (one where a read ended passes about one time in eight)
        // would send the search behind it, at a power for each start it
        // tries, for a reading that is not there.
        if (clearFromStart && breadth == 1 && recognizer.blockBits() > PowerBudget::SmallKeyBits)
            deeper.clear();
        // Among starts that show as much, the shortest pieces first: a binary
        // line shows no more at its genuine start than a chance start shows
        // inside a long message before it, and a short line holds few chance
        // starts of its own, so its genuine one comes within the first few.
        std::sort(deeper.begin(), deeper.end(), [](const Deeper& x, const Deeper& y) {
            return x.order != y.order ? x.order > y.order : x.piece.begin > y.piece.begin;
        });
        // A start counts as looked behind once what lies before it reads: a
        // chance one, as well shown as the genuine start beside it, mostly
        // leads nowhere. Beyond those, every start whose zeros and marker
        // alone show ClearBits is looked behind: a chance one is that rare,
        // and a genuine one may be the start of the only reading that keeps a
        // text line whole, where the best-shown piece joins it with the
        // binary line behind it. And where none looked behind so far reads as
        // text, the first that does: a piece that is not text may be a text
        // line joined with the messages before it, showing the start of the
        // first of them (under a key of a whole number of bytes, any two
        // messages read as one).
        int tried = 0;
        bool textTried = false;
        for (const auto& [start, order, afterRead, piece] : deeper) {
            if (recognizer.starved())
                break;
            const bool text = readsAsText(recognizer, piece);
            if (tried >= breadth && piece.startEvidence() < ClearBits && (textTried || !text))
                continue;
            const Node before = bestTo(piece.begin, depth + 1);
            if (!before.readable)
                continue;
            ++tried;
            textTried = textTried || text;
            consider(before.score + start + piece.blocks
                         - (!afterRead && readsThrough(recognizer, before.last, piece) ? ThroughCutBits : 0),
                     piece);
        }
        nodes[at] = node;
        return node;
    };

    // First the likeliest reading alone, one start looked behind at each
    // place: it is found in a few places per message, and stands if the
    // wider search below is cut short among chance pieces.
    const Node likeliest = bestTo(to, 0);
    std::map<std::uint64_t, Node> likeliestNodes;
    likeliestNodes.swap(nodes);
    cutShort = false;
    // The wider search costs about k/4 powers at every chance start it looks
    // behind: under keys larger than the key generator makes, the likeliest
    // reading has to do. Under the others it spends from a credit of its own
    // (WideAllowance) and stops where that runs out: the likeliest reading
    // then stands, as it does under larger keys, and the connection keeps the
    // rest of its credit.
    Node whole;
    if (widen && recognizer.blockBits() <= PowerBudget::SmallKeyBits && !recognizer.starved()) {
        breadth = StartsLookedBehind;
        const std::uint64_t limit = recognizer.powerLimit();
        const std::uint64_t start = recognizer.powerMods();
        const std::uint64_t room = wideRoom(recognizer.blockBits());
        const bool ownLimit = limit - start > room;
        if (ownLimit)
            recognizer.setPowerLimit(start + room);
        whole = bestTo(to, 0);
        wideSpent_ += recognizer.powerMods() - start;
        if (ownLimit)
            recognizer.setPowerLimit(limit);
    }
    if (likeliest.readable && (!whole.readable || likeliest.score > whole.score)) {
        whole = likeliest;
        nodes.swap(likeliestNodes);
    }
    Result result;
    result.complete = !cutShort && !recognizer.starved();
    if (!whole.readable)
        return result;
    result.score = whole.score;
    std::vector<Piece> pieces;
    for (std::uint64_t at = to; at != from; at = pieces.back().begin) {
        const Node& node = nodes.at(at);
        pieces.push_back(node.last);
        if (node.head)
            pieces.push_back(*node.head);
    }
    std::reverse(pieces.begin(), pieces.end());
    result.pieces = std::move(pieces);
    return result;
}
