#include "session/messageassembler.h"

#include <algorithm>
#include <numeric>
#include <utility>

using Piece = LineRecognizer::Piece;

MessageAssembler::MessageAssembler() = default;
MessageAssembler::~MessageAssembler() = default;

void MessageAssembler::restart()
{
    mode_ = Mode::Idle;
    bytes_.clear();
    base_ = 0;
    clock_.restart();
    budget_.restart();
    keyCutter_.reset();
    recognizer_.reset();
    search_.reset();
    looked_ = false;
    fresh_ = false;
    dropping_ = false;
    floodDropped_ = false;
    gridEdge_ = 0;
    burstLook_ = 0;
    burstStart_ = 0;
    burstRoom_ = 0;
    out_.clear();
}

void MessageAssembler::expectKey(std::string_view separator)
{
    mode_ = Mode::Key;
    keyCutter_ = std::make_unique<KeyCutter>(separator);
    recognizer_.reset();
    search_.reset();
}

void MessageAssembler::expectLines(GInt::Num exponent, GInt::Num modulus)
{
    recognizer_ = std::make_unique<LineRecognizer>(exponent, modulus);
    search_ = std::make_unique<ReadingSearch>();
    keyCutter_.reset();
    mode_ = Mode::Line;
}

void MessageAssembler::append(std::string_view bytes, TimePoint now)
{
    if (bytes.empty())
        return;
    // Garbage after a pause is news again; but a flood cut at the cap is read
    // late by a busy event loop, and its reads then look spaced out, so after
    // such a drop the pause must be twice as long.
    if (bytes_.empty() && clock_.givenUp(now) && (!floodDropped_ || clock_.quiet(now) >= 2 * GiveUpTime))
        dropping_ = false;
    bytes_.append(bytes);
    budget_.received(bytes.size());
    clock_.arrived(end(), bytes.size(), now);
    // A peer that sends faster than its bytes can be read (each look may
    // spend only its slice) is held to MaxBufferedBytes: what lies before the
    // last longest message's worth is dropped unread.
    if (mode_ == Mode::Line && bytes_.size() > MaxBufferedBytes)
        dropGarbage(end() - MaxLineMessage);
    looked_ = false;
    fresh_ = true;
    look(now, false);
}

void MessageAssembler::timePassed(TimePoint now)
{
    look(now, false);
}

void MessageAssembler::finish(TimePoint now)
{
    // The connection is gone: what it left is read to the end, slice after slice.
    do
        look(now, true);
    while (!bytes_.empty() && budget_.shortfall() == PowerBudget::Shortfall::Slice);
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
    if (budget_.shortfall() == PowerBudget::Shortfall::Slice)
        return lastLook_;
    const TimePoint giveUp = clock_.lastArrival() + GiveUpTime;
    if (looked_)
        return giveUp;
    const TimePoint settle = clock_.lastArrival() + clock_.settleNeeded(base_);
    return fresh_ ? std::min({settle, clock_.nextHold(), giveUp}) : std::min(settle, giveUp);
}

void MessageAssembler::look(TimePoint now, bool closing)
{
    if (bytes_.empty() || mode_ == Mode::Idle)
        return;
    const bool continuing = budget_.shortfall() == PowerBudget::Shortfall::Slice;
    budget_.beginEvent();
    // Nothing new since the last look found all it could, until the give-up time.
    if (looked_ && !closing && !clock_.givenUp(now))
        return;
    const bool due = closing || continuing || clock_.settled(base_, now) || (fresh_ && clock_.holdDue(now))
                     || bytes_.size() > MaxHeldBytes || clock_.givenUp(now);
    if (!due)
        return;
    lastLook_ = now;
    fresh_ = false;
    clock_.looked(now);
    if (mode_ == Mode::Key)
        lookAtKey(now, closing);
    else
        lookAtLines(now, closing);
}

void MessageAssembler::consume(std::size_t count)
{
    bytes_.erase(0, count);
    base_ += count;
    clock_.told(base_);
    if (search_)
        search_->forgetBefore(base_);
    if (recognizer_)
        recognizer_->setBytes(bytes_, base_);
}

void MessageAssembler::lookAtKey(TimePoint now, bool closing)
{
    const bool lastChance = closing || clock_.givenUp(now);
    const bool settled = clock_.settled(base_, now);
    if (!lastChance && !settled && bytes_.size() <= KeyCutter::MaxKeyBytes + MaxHeldBytes)
        return;
    const bool oneWrite = clock_.settleNeeded(base_) == ArrivalClock::Duration(ArrivalClock::SettleTime);
    KeyCutter::Decision decision =
        keyCutter_->decide(bytes_, base_, clock_.readEnds(), oneWrite, lastChance, budget_);
    switch (decision.kind) {
    case KeyCutter::Decision::Kind::Wait:
        if (budget_.shortfall() != PowerBudget::Shortfall::Slice)
            looked_ = true;
        return;
    case KeyCutter::Decision::Kind::Refuse:
        out_.push_back({Message::Kind::Error, decision.reason});
        consume(bytes_.size());
        return;
    case KeyCutter::Decision::Kind::Key:
        break;
    }
    out_.push_back({Message::Kind::Key, bytes_.substr(0, decision.length), std::move(decision.key)});
    recognizer_ = std::move(decision.recognizer);
    search_ = std::move(decision.search);
    keyCutter_.reset();
    mode_ = Mode::Line;
    consume(decision.length);
    if (!bytes_.empty() && budget_.shortfall() == PowerBudget::Shortfall::None)
        lookAtLines(now, closing);
}

void MessageAssembler::lookAtLines(TimePoint now, bool closing)
{
    LineRecognizer& recognizer = *recognizer_;
    recognizer.setBytes(bytes_, base_);
    const bool settled = closing || clock_.settled(base_, now);
    const bool overfull = bytes_.size() > MaxHeldBytes;
    const bool giveUp = closing || overfull || clock_.givenUp(now);

    // While the bytes keep coming, what is held mostly ends inside a message,
    // where no reading ends.
    if (!settled && !giveUp && lookInsideMessageInProgress())
        return;
    budget_.open(recognizer);
    // While bytes keep coming, the likeliest reading alone: a wider search
    // of all that is held at every look would cost more than the bytes
    // bring, and starved at each it would tell nothing.
    const ReadingSearch::Result reading = search_->best(recognizer, base_, end(), clock_.readEnds(), settled || giveUp);
    const bool starvedNow = budget_.close(recognizer);
    if (starvedNow) {
        // Cut short: go on at the next event, or wait for bytes to bring credit.
        if (budget_.shortfall() == PowerBudget::Shortfall::Credit) {
            looked_ = true;
            if (giveUp)
                dropGarbage(end());
        }
        return;
    }
    if (reading.pieces) {
        const std::vector<Piece>& pieces = *reading.pieces;
        // A short read settles fast, as a whole write; but when its last
        // message scores below nothing, the read may be the chance-read front
        // of a longer message whose sender paused: it waits the pause time.
        const bool settledFast = settled && !closing && clock_.quiet(now) < ArrivalClock::PauseTime;
        if (settledFast && search_->scoreOf(recognizer, pieces.back()) < 0) {
            clock_.doubt();
            return;
        }
        if (settled) {
            deliver(pieces);
            return;
        }
        // Before the bytes settle, the messages in front of a clearly started
        // one are told: the last may still grow.
        if (reading.complete && search_->startsClearly(recognizer, pieces.back(), base_))
            deliver(std::vector<Piece>(pieces.begin(), pieces.end() - 1));
        return;
    }
    // No reading ends where the bytes do: in a burst of short lines, which
    // shows no long run to read up to, the messages before the nearest clear
    // start are told once enough is held, and before any are given up.
    const bool burstDue = end() >= burstLook_ + BurstLookBytes || (overfull && end() > burstLook_);
    if (!settled && bytes_.size() >= BurstLookBytes && lookInsideBurst(burstDue))
        return;
    if (!settled && !overfull && !giveUp)
        return;
    if (dropGarbageBeforeClearMessage())
        return;
    if (giveUp) {
        keepMessagesBeforeGarbage();
        dropGarbage(end());
        return;
    }
    looked_ = true;
}

// The messages in front of a long one still arriving are read up to an edge
// inside it. A message's whole blocks are aligned on its end, and 8 of them
// (k bytes) end on a byte edge: cut at such an edge, what came of the message
// reads as a well-formed message of its own (the reason a pause there is
// dangerous), which starts as clearly as the message does. Fewer blocks end on
// a byte edge when k is even, but then the decrypted digits end off their
// byte grid, so the edges of one grid within 8 blocks are each tried. False
// when no message longer than LongRunBlocks is arriving: the end of what is
// held may then be a message's end.
bool MessageAssembler::lookInsideMessageInProgress()
{
    LineRecognizer& recognizer = *recognizer_;
    const std::uint64_t k = recognizer.blockBits();
    // Finding the edge costs a power or two for each of k bytes, a slow one
    // under keys larger than the key generator makes.
    if (k > PowerBudget::SmallKeyBits)
        return false;
    budget_.open(recognizer);
    const std::optional<std::uint64_t> grid = edgeOnLongRun();
    if (budget_.close(recognizer))
        return true;
    if (!grid || *grid == end())
        return false;
    const std::uint64_t step = 8 / std::gcd<std::uint64_t>(k, 8) * k / 8;  // bytes between a grid's byte edges
    for (std::uint64_t back = 0; back < k && *grid - back > base_; back += step) {
        const std::uint64_t edge = *grid - back;
        // The likeliest reading alone: the wider search at every look while
        // bytes pour in would cost more than they bring.
        budget_.open(recognizer);
        const ReadingSearch::Result reading = search_->best(recognizer, base_, edge, clock_.readEnds(), false);
        if (budget_.close(recognizer))
            return true;
        if (reading.pieces && reading.complete
            && search_->startsClearly(recognizer, reading.pieces->back(), base_)) {
            gridEdge_ = edge;
            deliver(std::vector<Piece>(reading.pieces->begin(), reading.pieces->end() - 1));
            return true;
        }
    }
    return true;
}

// The messages before the nearest start that shows clearly, within
// BurstReachBlocks of the end, are told. False when none is found (or only
// one with nothing before it); true when messages were told, or when the look
// ran out of its slice and goes on at the next event.
bool MessageAssembler::lookInsideBurst(bool due)
{
    LineRecognizer& recognizer = *recognizer_;
    const std::uint64_t k = recognizer.blockBits();
    // A power or a few for each byte looked back over: too slow under keys
    // larger than the key generator makes.
    if (k > PowerBudget::SmallKeyBits)
        return false;
    if (burstStart_ <= base_) {
        const std::uint64_t reach = (BurstReachBlocks * k + 7) / 8;
        if (due && burstLook_ < end()) {
            burstLook_ = end();
            burstRoom_ = BurstPowersPerByte * reach;
        } else if (burstRoom_ == 0) {
            return false;
        }
        const std::uint64_t before = recognizer.powerMods();
        budget_.open(recognizer, burstRoom_);
        const std::optional<std::uint64_t> start = search_->clearStartBefore(recognizer, base_, burstLook_, reach);
        const bool starved = budget_.close(recognizer);
        burstRoom_ -= std::min(burstRoom_, recognizer.powerMods() - before);
        if (starved && burstRoom_ > 0)
            return budget_.shortfall() == PowerBudget::Shortfall::Slice;
        burstRoom_ = 0;
        if (!start)
            return false;
        burstStart_ = *start;
    }
    // The reading up to it may take a few slices: the start found is kept.
    budget_.open(recognizer);
    const ReadingSearch::Result reading = search_->best(recognizer, base_, burstStart_, clock_.readEnds());
    if (budget_.close(recognizer))
        return budget_.shortfall() == PowerBudget::Shortfall::Slice;
    burstStart_ = 0;
    if (!reading.pieces || !reading.complete)
        return false;
    deliver(*reading.pieces);
    return true;
}

// The byte edge nearest the end of what is held on which a run of
// LongRunBlocks whole blocks is aligned (odds about 2^-16 for a chance edge),
// within the last k bytes, where one of every message's grid lies. After an
// edge inside a message was read up to, the one k bytes on is tried first.
std::optional<std::uint64_t> MessageAssembler::edgeOnLongRun()
{
    LineRecognizer& recognizer = *recognizer_;
    const std::uint64_t k = recognizer.blockBits();
    const std::uint64_t reach = (ReadingSearch::LongRunBlocks * k + 7) / 8;
    const auto longRun = [&](std::uint64_t at) {
        return at >= base_ + reach && recognizer.runBefore(at, at - reach) >= ReadingSearch::LongRunBlocks;
    };
    if (gridEdge_ > base_) {
        const std::uint64_t next = gridEdge_ + (end() - gridEdge_) / k * k;
        if (longRun(next))
            return next;
    }
    for (std::uint64_t at = end(); at > base_ && at + k > end() && !recognizer.starved(); --at)
        if (longRun(at))
            return at;
    return std::nullopt;
}

// Garbage in front of a message whose start shows clearly goes at once.
bool MessageAssembler::dropGarbageBeforeClearMessage()
{
    LineRecognizer& recognizer = *recognizer_;
    budget_.open(recognizer);
    std::optional<Piece> clear;
    for (const Piece& piece : search_->endingAt(recognizer, end(), base_, clock_.readEnds())) {
        if (piece.begin > base_ && piece.startEvidence() >= ReadingSearch::ClearBits) {
            clear = piece;
            break;
        }
    }
    budget_.close(recognizer);
    if (!clear)
        return false;
    dropGarbage(clear->begin);
    deliver({*clear});
    return true;
}

// Messages ahead of garbage are kept as far as they read whole up to a read's
// end: a read often ends where a message does.
void MessageAssembler::keepMessagesBeforeGarbage()
{
    LineRecognizer& recognizer = *recognizer_;
    const std::deque<std::uint64_t> readEnds = clock_.readEnds();
    std::optional<std::vector<Piece>> kept;
    for (const std::uint64_t boundary : readEnds) {
        if (boundary <= base_ || boundary >= end())
            continue;
        budget_.open(recognizer);
        const ReadingSearch::Result ahead = search_->best(recognizer, base_, boundary, readEnds);
        const bool starved = budget_.close(recognizer);
        if (starved || !ahead.pieces || !ahead.complete)
            break;
        kept = ahead.pieces;
    }
    if (kept)
        deliver(*kept);
}

void MessageAssembler::dropGarbage(std::uint64_t upTo)
{
    const std::size_t count = static_cast<std::size_t>(upTo - base_);
    if (count == 0)
        return;
    // A flood of garbage is one error, not one per stretch dropped.
    if (!dropping_)
        out_.push_back({Message::Kind::Error, "The received data cannot be decrypted: " + std::to_string(count)
                                                  + " bytes that read as no line were dropped"});
    dropping_ = true;
    floodDropped_ = bytes_.size() > MaxHeldBytes;
    consume(count);
    looked_ = false;
}

void MessageAssembler::deliver(const std::vector<Piece>& pieces)
{
    if (pieces.empty())
        return;
    for (const Piece& piece : pieces)
        out_.push_back({Message::Kind::Line, recognizer_->line(piece)});
    dropping_ = false;
    consume(static_cast<std::size_t>(pieces.back().end - base_));
    looked_ = false;
}
