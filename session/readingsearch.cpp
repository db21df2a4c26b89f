#include "session/readingsearch.h"

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>

namespace {

using Piece = LineRecognizer::Piece;

// Text as people type it: UTF-8 with no control bytes but tab and carriage return.
bool isText(std::string_view line)
{
    for (std::size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        int extra = 0;
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f)
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

int ReadingSearch::scoreOf(LineRecognizer& recognizer, const Piece& piece)
{
    const auto [known, fresh] = contents_.try_emplace({piece.begin, piece.end}, 0);
    if (fresh)
        if (const std::optional<std::string> text = recognizer.textLine(piece))
            known->second = isText(*text) ? static_cast<int>(text->size()) : 0;
    return piece.evidence() + known->second - CutPenaltyBits;
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
                                           const std::deque<std::uint64_t>& readEnds)
{
    // A message that shows little evidence may be there by chance: it does
    // not spare the search.
    const auto clear = [&](const Piece& piece) { return scoreOf(recognizer, piece) + CutPenaltyBits >= ClearBits; };
    bool cheap = false;
    if (const auto whole = recognizer.pieceAt(from, end))
        cheap = clear(*whole);
    std::vector<Piece> found;
    for (const std::uint64_t readEnd : readEnds) {
        if (readEnd <= from || readEnd >= end)
            continue;
        if (const auto piece = recognizer.pieceAt(readEnd, end)) {
            found.push_back(*piece);
            cheap = cheap || clear(*piece);
        }
    }
    for (const Piece& piece : recognizer.piecesEndingAt(end, from, StartWindowBlocks, cheap))
        if (std::none_of(found.begin(), found.end(), [&](const Piece& known) { return known.begin == piece.begin; }))
            found.push_back(piece);
    return found;
}

ReadingSearch::Result ReadingSearch::best(LineRecognizer& recognizer, std::uint64_t from, std::uint64_t to,
                                          const std::deque<std::uint64_t>& readEnds)
{
    bool cutShort = false;
    struct Node {
        bool readable = false;
        int score = 0;
        Piece last;
        std::optional<Piece> head;  // the one message before `last`, when it starts at `from`
    };
    std::map<std::uint64_t, Node> nodes;

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
        std::vector<std::pair<int, Piece>> deeper;
        if (at != from && depth >= MaxDepth)
            cutShort = true;
        if (at != from && depth < MaxDepth && !recognizer.starved()) {
            for (const Piece& piece : endingAt(recognizer, at, from, readEnds)) {
                const int own = scoreOf(recognizer, piece);
                if (piece.begin == from) {
                    consider(own, piece);
                    continue;
                }
                if (const auto head = recognizer.pieceAt(from, piece.begin))
                    consider(scoreOf(recognizer, *head) + own, piece, head);
                deeper.emplace_back(own - piece.blocks, piece);
            }
        }
        std::stable_sort(deeper.begin(), deeper.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
        int tried = 0;
        for (const auto& [start, piece] : deeper) {
            if (tried >= StartsLookedBehind || recognizer.starved())
                break;
            ++tried;
            const Node before = bestTo(piece.begin, depth + 1);
            if (before.readable)
                consider(before.score + start + piece.blocks, piece);
        }
        nodes[at] = node;
        return node;
    };

    Result result;
    const Node whole = bestTo(to, 0);
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
