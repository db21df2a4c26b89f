#include "session/keycutter.h"

#include "session/peerkey.h"

#include <algorithm>
#include <optional>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

KeyCutter::Decision KeyCutter::decide(std::string_view bytes, std::uint64_t base,
                                      const std::deque<std::uint64_t>& readEnds, bool oneWrite, bool lastChance,
                                      PowerBudget& budget)
{
    const std::size_t separatorAt = bytes.find(separator_);
    const std::size_t digitsBegin = separatorAt == std::string_view::npos ? bytes.size() : separatorAt + separator_.size();
    std::size_t digitsEnd = digitsBegin;
    while (digitsEnd < bytes.size() && isDigit(bytes[digitsEnd]))
        ++digitsEnd;

    const auto refuse = [&](std::string_view text) {
        Decision refusal;
        refusal.kind = Decision::Kind::Refuse;
        refusal.reason = "The peer's key message is malformed: bytes that read as no line follow it";
        try {
            ParsePeerKey(text, separator_);
        } catch (const ESessionError& error) {
            refusal.reason = error.what();
        }
        return refusal;
    };
    const auto take = [&](std::size_t at) {
        Decision key;
        key.kind = Decision::Kind::Key;
        key.length = at;
        Candidate& candidate = candidates_[at];
        if (!candidate.recognizer) {
            const PeerKey parsed = ParsePeerKey(bytes.substr(0, at), separator_);
            candidate.recognizer = std::make_unique<LineRecognizer>(parsed.exponent.get(), parsed.modulus.get());
            candidate.search = std::make_unique<ReadingSearch>();
        }
        key.recognizer = std::move(candidate.recognizer);
        key.search = std::move(candidate.search);
        candidates_.clear();
        return key;
    };
    const auto parses = [&](std::size_t at) {
        try {
            ParsePeerKey(bytes.substr(0, at), separator_);
            return true;
        } catch (const ESessionError&) {
            return false;
        }
    };

    if (digitsEnd == bytes.size())
        return parses(digitsEnd) ? take(digitsEnd) : refuse(bytes);

    std::optional<std::size_t> best;
    int bestScore = 0;
    const std::size_t lowestCut = std::max(digitsBegin, digitsEnd - std::min(digitsEnd, MaxDigitsJoined));
    for (std::size_t at = digitsEnd; at > lowestCut; --at) {
        Candidate& candidate = candidates_[at];
        if (!candidate.recognizer) {
            std::optional<PeerKey> parsed;
            try {
                parsed = ParsePeerKey(bytes.substr(0, at), separator_);
            } catch (const ESessionError&) {
                candidates_.erase(at);
                continue;
            }
            candidate.recognizer = std::make_unique<LineRecognizer>(parsed->exponent.get(), parsed->modulus.get());
            candidate.search = std::make_unique<ReadingSearch>();
        }
        LineRecognizer& recognizer = *candidate.recognizer;
        recognizer.setBytes(bytes, base);
        budget.open(recognizer);
        const ReadingSearch::Result reading = candidate.search->best(recognizer, base + at, base + bytes.size(), readEnds);
        if (budget.close(recognizer)) {
            if (!lastChance)
                return {};
            continue;
        }
        if (!reading.pieces)
            continue;
        // A first line that starts clearly settles it: the other cuts would
        // each cost a reading of the rest under another key.
        if (candidate.search->startShown(recognizer, reading.pieces->front()) >= ReadingSearch::ClearBits)
            return take(at);
        if (!best || reading.score > bestScore) {
            best = at;
            bestScore = reading.score;
        }
    }
    if (best)
        return take(*best);
    // Nothing reads behind any cut. Bytes cut by the network may still be on
    // their way, or never come: the key stands and the rest is for the line rules.
    if (!oneWrite && parses(digitsEnd))
        return take(digitsEnd);
    return refuse(bytes);
}
