// Where the peer's key message ends. It is decimal digits around the peer's
// separator, with nothing to mark its end; a line joined behind it may start
// with digit bytes (odds 10/256 a byte), so the key is cut where the rest
// reads best as line messages under the key that cut gives, trying at most
// MaxDigitsJoined digits in front of the line; the cuts share the powers in
// turns, since a wrong cut's key may spend the whole credit reading chance
// messages before the right one is looked at. A genuine key is never
// refused for what follows it: when nothing reads and the bytes may have been
// cut by the network, the whole digit run is the key and what follows goes to
// the line rules. Only a key message that came whole in one write, followed by
// bytes that read as no line, is refused as malformed.
#pragma once

#include "session/linerecognizer.h"
#include "session/peerkey.h"
#include "session/powerbudget.h"
#include "session/readingsearch.h"
#include "session/wireformat.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>

class KeyCutter {
public:
    // Most digit bytes a line joined behind the key is taken to start with:
    // eight of them come first with odds (10/256)^8, below 2^-37.
    static constexpr std::size_t MaxDigitsJoined = 8;
    // Most key message bytes waited for: the longest key message the peer may send.
    static constexpr std::size_t MaxKeyBytes = WireFormat::MaxKeyMessageBytes;

    struct Decision {
        enum class Kind { Wait, Key, Refuse };
        Kind kind = Kind::Wait;
        std::size_t length = 0;  // of the key message
        std::string reason;      // why it was refused
        PeerKey key;             // the key message's numbers, when taken
        // The line reading under the key taken, with what it learnt of the rest.
        std::unique_ptr<LineRecognizer> recognizer;
        std::unique_ptr<ReadingSearch> search;
    };

    explicit KeyCutter(std::string_view separator) : separator_(separator) {}

    // The key in `bytes`, held from stream offset `base` on. `oneWrite`: the
    // bytes came in one read that ended where the sender's write did.
    // `lastChance`: no more bytes will be waited for. Powers go through `budget`.
    Decision decide(std::string_view bytes, std::uint64_t base, const std::deque<std::uint64_t>& readEnds,
                    bool oneWrite, bool lastChance, PowerBudget& budget);

private:
    struct Candidate {
        PeerKey key;
        std::unique_ptr<LineRecognizer> recognizer;
        std::unique_ptr<ReadingSearch> search;
    };

    std::string separator_;
    std::map<std::size_t, Candidate> candidates_;  // by the cut, kept across looks
};
