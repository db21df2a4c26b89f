#include "session/keycutter.h"

#include "session/peerkey.h"

#include <algorithm>
#include <optional>
#include <vector>

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
            candidate.key = ParsePeerKey(bytes.substr(0, at), separator_);
            candidate.recognizer =
                std::make_unique<LineRecognizer>(candidate.key.exponent.get(), candidate.key.modulus.get());
            candidate.search = std::make_unique<ReadingSearch>();
        }
        key.key = std::move(candidate.key);
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

    // The cuts whose key parses, longest first, each with its reading under
    // the key it gives. A wrong cut's key reads the rest as chains of chance
    // messages, which can cost the whole credit, so the cuts share the powers
    // in turns: the right one finishes after a few times its own cost.
    const std::size_t lowestCut = std::max(digitsBegin, digitsEnd - std::min(digitsEnd, MaxDigitsJoined));
    struct Look {
        std::size_t at = 0;
        bool done = false;
        std::optional<int> score;  // of a reading found, when done
    };
    std::vector<Look> looks;
    for (std::size_t at = digitsEnd; at > lowestCut; --at) {
        Candidate& candidate = candidates_[at];
        if (!candidate.recognizer) {
            try {
                candidate.key = ParsePeerKey(bytes.substr(0, at), separator_);
            } catch (const ESessionError&) {
                candidates_.erase(at);
                continue;
            }
            candidate.recognizer =
                std::make_unique<LineRecognizer>(candidate.key.exponent.get(), candidate.key.modulus.get());
            candidate.search = std::make_unique<ReadingSearch>();
        }
        looks.push_back({at, false, std::nullopt});
    }
    for (bool progress = true; progress;) {
        progress = false;
        const auto open = std::count_if(looks.begin(), looks.end(), [](const Look& look) { return !look.done; });
        for (Look& look : looks) {
            if (look.done)
                continue;
            Candidate& candidate = candidates_[look.at];
            LineRecognizer& recognizer = *candidate.recognizer;
            // With no room left the look still runs on what is decrypted
            // already, and a starved one tells the budget why it stopped.
            const std::uint64_t room = budget.room(recognizer.blockBits());
            recognizer.setBytes(bytes, base);
            const std::uint64_t before = recognizer.powerMods();
            budget.open(recognizer, std::max<std::uint64_t>(room / static_cast<std::uint64_t>(open), 1));
            const ReadingSearch::Result reading =
                candidate.search->best(recognizer, base + look.at, base + bytes.size(), readEnds);
            const bool starved = budget.close(recognizer);
            progress = progress || recognizer.powerMods() > before;
            if (starved)
                continue;
            look.done = true;
            progress = true;
            if (!reading.pieces)
                continue;
            // A first line that starts clearly settles it: the odds that a
            // wrong cut's key shows such a start are below 2^-ClearBits.
            if (candidate.search->startShown(recognizer, reading.pieces->front()) >= ReadingSearch::ClearBits)
                return take(look.at);
            look.score = reading.score;
        }
    }
    const bool allDone = std::all_of(looks.begin(), looks.end(), [](const Look& look) { return look.done; });
    // A cut still unread waits for the next event's slice, or for the credit
    // that more bytes bring; once none will come, the cuts read so far decide.
    if (!allDone && (!lastChance || budget.shortfall() == PowerBudget::Shortfall::Slice))
        return {};
    std::optional<std::size_t> best;
    int bestScore = 0;
    for (const Look& look : looks)
        if (look.score && (!best || *look.score > bestScore)) {
            best = look.at;
            bestScore = *look.score;
        }
    if (best)
        return take(*best);
    // Nothing reads behind any cut. Bytes cut by the network may still be on
    // their way, or never come: the key stands and the rest is for the line rules.
    if (!oneWrite && parses(digitsEnd))
        return take(digitsEnd);
    return refuse(bytes);
}
