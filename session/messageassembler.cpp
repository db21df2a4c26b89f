#include "session/messageassembler.h"

#include "session/peerkey.h"

#include <algorithm>
#include <functional>

namespace {

using Piece = LineRecognizer::Piece;

// Readings deeper than this many messages are not looked for.
constexpr int MaxDepth = 4000;
// How many of the starts found for a message are looked behind (beyond the
// one a single message before it would give), best shown first.
constexpr int StartsLookedBehind = 4;
// Modular powers one look at the bytes may cost beyond a few per block they
// hold, whatever a stranger sends: about 0.1 s with the longest keys made here.
constexpr std::uint64_t ReadingAllowance = 16384;
// Most key message bytes waited for: two numbers of 1,024 bits and a separator.
constexpr std::size_t MaxKeyBytes = 2 * 309 + 2;
// Read ends remembered, the first after the last message told, as places a
// message may end before garbage.
constexpr std::size_t MaxReadEnds = 16;
// Most digit bytes a line joined behind the key message is taken to start with.
constexpr std::size_t MaxDigitsJoined = 8;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

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

// What a piece's line adds to a reading: a bit per byte when it is text. A
// wrong cut decrypts to random bytes, or to bytes out of step with the line's
// own, which are text with odds of about 3/8 per byte; a cut on the line's
// own byte edges keeps its text, so that reading gains nothing from it.
int contentBits(std::string_view line)
{
    return isText(line) ? static_cast<int>(line.size()) : 0;
}

} // namespace

MessageAssembler::MessageAssembler() = default;
MessageAssembler::~MessageAssembler() = default;

void MessageAssembler::restart()
{
    retiredPowerMods_ = powerMods();
    recognizer_.reset();
    mode_ = Mode::Idle;
    bytes_.clear();
    readEnds_.clear();
    contents_.clear();
    base_ = 0;
    settled_ = false;
    dropping_ = false;
    out_.clear();
}

void MessageAssembler::expectKey(std::string_view separator)
{
    mode_ = Mode::Key;
    separator_ = std::string(separator);
    if (recognizer_)
        retiredPowerMods_ += recognizer_->powerMods();
    recognizer_.reset();
}

void MessageAssembler::expectLines(GInt::Num exponent, GInt::Num modulus)
{
    if (recognizer_)
        retiredPowerMods_ += recognizer_->powerMods();
    recognizer_ = std::make_unique<LineRecognizer>(exponent, modulus);
    contents_.clear();
    mode_ = Mode::Line;
}

std::uint64_t MessageAssembler::powerMods() const
{
    return retiredPowerMods_ + (recognizer_ ? recognizer_->powerMods() : 0);
}

void MessageAssembler::append(std::string_view bytes, TimePoint now)
{
    if (bytes.empty())
        return;
    if (bytes_.empty()) {
        heldSince_ = now;
        // Garbage after a pause is news again.
        if (now - lastArrival_ >= GiveUpTime)
            dropping_ = false;
    }
    bytes_.append(bytes);
    lastArrival_ = now;
    // The first reads after the last message told are the ones that matter.
    if (readEnds_.size() < MaxReadEnds)
        readEnds_.push_back(end());
    settled_ = false;
    analyze(now, false);
}

void MessageAssembler::timePassed(TimePoint now)
{
    if (bytes_.empty())
        return;
    const bool quiet = now - lastArrival_ >= SettleTime;
    if (quiet && settled_ && now - lastArrival_ < GiveUpTime)
        return;
    if (quiet) {
        analyze(now, true);
    } else if (now - heldSince_ >= HoldTime) {
        analyze(now, false);
        heldSince_ = now;
    }
}

void MessageAssembler::finish(TimePoint now)
{
    if (bytes_.empty())
        return;
    analyze(now, true);
    if (!bytes_.empty() && mode_ == Mode::Line)
        dropGarbage(end());
}

std::vector<MessageAssembler::Message> MessageAssembler::takeMessages()
{
    return std::exchange(out_, {});
}

std::optional<MessageAssembler::TimePoint> MessageAssembler::deadline() const
{
    if (bytes_.empty() || mode_ == Mode::Idle)
        return std::nullopt;
    if (settled_)
        return lastArrival_ + GiveUpTime;
    return std::min(lastArrival_ + SettleTime, heldSince_ + HoldTime);
}

void MessageAssembler::analyze(TimePoint now, bool settled)
{
    if (settled)
        settled_ = true;
    if (mode_ == Mode::Key)
        analyzeKey(now, settled);
    else if (mode_ == Mode::Line)
        analyzeLines(now, settled);
}

void MessageAssembler::consume(std::size_t count)
{
    bytes_.erase(0, count);
    base_ += count;
    while (!readEnds_.empty() && readEnds_.front() <= base_)
        readEnds_.pop_front();
    contents_.erase(contents_.begin(), contents_.lower_bound({base_, 0}));
}

// The key is cut where the rest reads best as line messages under the key the
// cut gives; the whole digit run wins when nothing follows it.
void MessageAssembler::analyzeKey(TimePoint now, bool settled)
{
    if (!settled && bytes_.size() <= MaxKeyBytes + MaxHeldBytes)
        return;
    const std::size_t separatorAt = bytes_.find(separator_);
    const std::size_t digitsBegin = separatorAt == std::string::npos ? bytes_.size() : separatorAt + separator_.size();
    std::size_t digitsEnd = digitsBegin;
    while (digitsEnd < bytes_.size() && isDigit(bytes_[digitsEnd]))
        ++digitsEnd;

    struct Cut {
        std::size_t at = 0;
        int score = 0;
        std::unique_ptr<LineRecognizer> recognizer;
    };
    std::optional<Cut> best;
    // A line's ciphertext starts with k digit bytes with odds (10/256)^k.
    const std::size_t lowestCut = std::max(digitsBegin, digitsEnd - std::min(digitsEnd, MaxDigitsJoined));
    for (std::size_t at = digitsEnd; at > lowestCut; --at) {
        PeerKey key;
        try {
            key = ParsePeerKey(std::string_view(bytes_).substr(0, at), separator_);
        } catch (const ESessionError&) {
            continue;
        }
        Cut cut{at, 0, std::make_unique<LineRecognizer>(key.exponent.get(), key.modulus.get())};
        // Nothing behind the digits: a shorter modulus would leave digits
        // alone as a line message, which no sender writes. Bytes still
        // coming: the whole digit run is the likely key.
        if (at == bytes_.size() || !settled) {
            best = std::move(cut);
            break;
        }
        cut.recognizer->setBytes(bytes_, base_);
        const bool readable =
            bestReading(*cut.recognizer, base_ + at, end(), allowance(*cut.recognizer), &cut.score).has_value();
        retiredPowerMods_ += cut.recognizer->powerMods();
        if (readable && (!best || cut.score > best->score))
            best = std::move(cut);
    }
    if (!best) {
        std::string reason = "The peer's key message is malformed: bytes that read as no line follow it";
        try {
            ParsePeerKey(bytes_, separator_);
        } catch (const ESessionError& refusal) {
            reason = refusal.what();
        }
        out_.push_back({Message::Kind::Error, reason});
        consume(bytes_.size());
        return;
    }
    retiredPowerMods_ -= std::min(retiredPowerMods_, best->recognizer->powerMods());
    out_.push_back({Message::Kind::Key, bytes_.substr(0, best->at)});
    consume(best->at);
    recognizer_ = std::move(best->recognizer);
    contents_.clear();
    mode_ = Mode::Line;
    if (!bytes_.empty())
        analyzeLines(now, settled);
}

void MessageAssembler::analyzeLines(TimePoint now, bool settled)
{
    if (bytes_.empty())
        return;
    LineRecognizer& recognizer = *recognizer_;
    recognizer.setBytes(bytes_, base_);
    // While bytes keep coming, they are looked at only now and then.
    if (!settled && now - heldSince_ < HoldTime && bytes_.size() <= MaxHeldBytes)
        return;
    bool complete = false;
    const auto reading = bestReading(recognizer, base_, end(), allowance(recognizer), nullptr, &complete);
    if (!settled)
        heldSince_ = now;
    if (reading) {
        if (settled) {
            deliver(recognizer, *reading);
            return;
        }
        // Before the bytes settle, only a reading looked at in full is trusted.
        if (complete && reading->back().startEvidence() >= ConfidentBits) {
            deliver(recognizer, std::vector<Piece>(reading->begin(), reading->end() - 1));
            heldSince_ = now;
        }
        return;
    }
    if (!settled && bytes_.size() <= MaxHeldBytes)
        return;
    // No reading: garbage in front of a confident message goes at once.
    for (const Piece& piece : recognizer.piecesEndingAt(end(), base_, StartWindowBlocks)) {
        if (piece.begin > base_ && piece.startEvidence() >= ConfidentBits) {
            dropGarbage(piece.begin);
            recognizer.setBytes(bytes_, base_);
            deliver(recognizer, {piece});
            return;
        }
    }
    if (now - lastArrival_ >= GiveUpTime || bytes_.size() > MaxHeldBytes) {
        // Messages ahead of the garbage are kept: a read often ends where a message does.
        for (auto boundary = readEnds_.rbegin(); boundary != readEnds_.rend(); ++boundary) {
            if (*boundary <= base_ || *boundary >= end())
                continue;
            bool whole = false;
            const auto ahead = bestReading(recognizer, base_, *boundary, allowance(recognizer), nullptr, &whole);
            if (ahead && whole) {
                deliver(recognizer, *ahead);
                break;
            }
        }
        dropGarbage(end());
    }
}

std::uint64_t MessageAssembler::allowance(const LineRecognizer& recognizer) const
{
    return ReadingAllowance + 4 * (8 * bytes_.size() / recognizer.blockBits());
}

void MessageAssembler::dropGarbage(std::uint64_t upTo)
{
    const std::size_t count = static_cast<std::size_t>(upTo - base_);
    // A flood of garbage is one error, not one per stretch dropped.
    if (!dropping_)
        out_.push_back({Message::Kind::Error, "The received data cannot be decrypted: " + std::to_string(count)
                                                  + " bytes that read as no line were dropped"});
    dropping_ = true;
    consume(count);
}

void MessageAssembler::deliver(LineRecognizer& recognizer, const std::vector<Piece>& pieces)
{
    for (const Piece& piece : pieces)
        out_.push_back({Message::Kind::Line, recognizer.line(piece)});
    if (!pieces.empty())
        dropping_ = false;
    if (!pieces.empty())
        consume(static_cast<std::size_t>(pieces.back().end - base_));
    recognizer.setBytes(bytes_, base_);
}

// The best-scored reading of [from, end()) as well-formed line messages,
// found from the end: each message's start is looked for where the blocks
// aligned on its end break off, and the reading of what lies before it the
// same way, depth first and memoised by position. Readings are tried in the
// order they are likely: the message reaching back to `from`, then those with
// a single message before them, then the rest by their own score, for as long
// as `allowance` modular powers last; the best reading seen so far stands.
std::optional<std::vector<Piece>> MessageAssembler::bestReading(LineRecognizer& recognizer, std::uint64_t from,
                                                               std::uint64_t to, std::uint64_t allowance, int* score,
                                                               bool* complete)
{
    bool cutShort = false;
    struct Node {
        bool readable = false;
        int score = 0;
        Piece last;
        std::optional<Piece> head;  // the one message before `last`, when it starts at `from`
    };
    std::map<std::uint64_t, Node> nodes;
    const std::uint64_t budget = recognizer.powerMods() + allowance;
    const auto scoreOf = [&](const Piece& piece) {
        const auto [known, fresh] = contents_.try_emplace({piece.begin, piece.end}, 0);
        if (fresh)
            if (const std::optional<std::string> text = recognizer.textLine(piece))
                known->second = contentBits(*text);
        return piece.evidence() + known->second - CutPenaltyBits;
    };

    std::function<Node(std::uint64_t, int)> best = [&](std::uint64_t at, int depth) -> Node {
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
        if (at != from && (depth >= MaxDepth || recognizer.powerMods() > budget))
            cutShort = true;
        if (at != from && depth < MaxDepth && recognizer.powerMods() <= budget) {
            for (const Piece& piece : recognizer.piecesEndingAt(at, from, StartWindowBlocks)) {
                const int own = scoreOf(piece);
                if (piece.begin == from) {
                    consider(own, piece);
                    continue;
                }
                if (const auto head = recognizer.pieceAt(from, piece.begin))
                    consider(scoreOf(*head) + own, piece, head);
                deeper.emplace_back(own - piece.blocks, piece);
            }
        }
        std::stable_sort(deeper.begin(), deeper.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
        int tried = 0;
        for (const auto& [start, piece] : deeper) {
            // The few best-shown starts are looked behind; the rest are mostly chance.
            if (tried >= StartsLookedBehind)
                break;
            ++tried;
            if (recognizer.powerMods() > budget) {
                cutShort = true;
                break;
            }
            const Node before = best(piece.begin, depth + 1);
            if (before.readable)
                consider(before.score + start + piece.blocks, piece);
        }
        nodes[at] = node;
        return node;
    };

    const Node whole = best(to, 0);
    if (complete)
        *complete = !cutShort;
    if (!whole.readable)
        return std::nullopt;
    if (score)
        *score = whole.score;
    std::vector<Piece> pieces;
    for (std::uint64_t at = to; at != from; at = pieces.back().begin) {
        const Node& node = nodes.at(at);
        pieces.push_back(node.last);
        if (node.head)
            pieces.push_back(*node.head);
    }
    std::reverse(pieces.begin(), pieces.end());
    return pieces;
}
