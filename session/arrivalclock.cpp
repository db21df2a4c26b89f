#include "session/arrivalclock.h"

void ArrivalClock::restart()
{
    lastArrival_ = {};
    lookedAt_ = {};
    lastReadBegin_ = 0;
    lastReadBytes_ = 0;
    doubted_ = false;
    readEnds_.clear();
}

void ArrivalClock::arrived(std::uint64_t end, std::size_t bytes, TimePoint now)
{
    // Bytes after a quiet spell start a new stretch of looks.
    if (readEnds_.empty())
        lookedAt_ = now;
    lastArrival_ = now;
    lastReadBegin_ = end - bytes;
    lastReadBytes_ = bytes;
    doubted_ = false;
    if (readEnds_.size() < MaxReadEnds)
        readEnds_.push_back(end);
    else
        readEnds_.back() = end;
}

void ArrivalClock::told(std::uint64_t base)
{
    while (!readEnds_.empty() && readEnds_.front() <= base)
        readEnds_.pop_front();
}

ArrivalClock::Duration ArrivalClock::settleNeeded(std::uint64_t base) const
{
    const bool oneRead = base >= lastReadBegin_;
    return oneRead && lastReadBytes_ < WholeWriteBytes && !doubted_ ? Duration(SettleTime) : Duration(PauseTime);
}
