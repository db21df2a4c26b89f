#include "net/connectrace_p.h"

#include "net/socketevents_p.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace ScktComp {

using Platform::Family;
using Platform::Handle;
using Platform::SocketAddress;

ConnectRace::ConnectRace(QObject& owner, Connected connected, Failed failed)
    : owner_(owner), connected_(std::move(connected)), failed_(std::move(failed)), delay_(new QTimer(&owner))
{
    delay_->setSingleShot(true);
    delay_->setInterval(kAttemptDelay);
    QObject::connect(delay_, &QTimer::timeout, delay_, [this] { guarded([this] { launch(); }); });
}

ConnectRace::~ConnectRace()
{
    abandon();
    delete delay_;
}

std::vector<SocketAddress> ConnectRace::interleaved(const std::vector<SocketAddress>& addresses)
{
    std::vector<SocketAddress> v6, v4;
    for (const SocketAddress& address : addresses)
        (address.family == Family::IPv6 ? v6 : v4).push_back(address);
    std::vector<SocketAddress> ordered;
    ordered.reserve(addresses.size());
    for (std::size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size())
            ordered.push_back(v6[i]);
        if (i < v4.size())
            ordered.push_back(v4[i]);
    }
    return ordered;
}

bool ConnectRace::start(std::vector<SocketAddress> addresses, Failure& failure)
{
    abandon();
    untried_.assign(addresses.begin(), addresses.end());
    last_ = {};
    launch();
    if (running())
        return true;
    failure = last_;
    return false;
}

void ConnectRace::abandon()
{
    delay_->stop();
    untried_.clear();
    for (Attempt& attempt : running_)
        closeAttempt(attempt);
    running_.clear();
}

void ConnectRace::closeAttempt(Attempt& attempt)
{
    // Off before its socket goes: a notifier must not watch a closed handle.
    attempt.notifier->setEnabled(false);
    attempt.notifier->deleteLater();
    Platform::closeSocket(attempt.handle);
}

void ConnectRace::launch()
{
    while (!untried_.empty()) {
        const SocketAddress address = untried_.front();
        untried_.pop_front();
        Handle handle = Platform::kNoSocket;
        if (const int code = Platform::createStream(handle, address.family)) {
            last_ = {Stage::Create, code};
            continue;
        }
        int outcome = 0;
        if (const int code = Platform::startConnect(handle, address, outcome)) {
            Platform::closeSocket(handle);
            last_ = {Stage::Call, code};
            continue;
        }
        if (outcome != 0) {
            Platform::closeSocket(handle);
            last_ = {Stage::Outcome, outcome};
            continue;
        }
        // The end of an attempt, failed or not, makes its socket writable.
        auto* const notifier = new QSocketNotifier(handle, QSocketNotifier::Write, &owner_);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this, handle] {
            guarded([this, handle] {
                int code = 0;
                if (const int failure = Platform::pendingError(handle, code))
                    code = failure;
                attemptEnded(handle, code);
            });
        });
        running_.push_back({handle, address, notifier});
        if (!untried_.empty())
            delay_->start();
        return;
    }
}

void ConnectRace::attemptEnded(Handle handle, int code)
{
    const auto found =
        std::find_if(running_.begin(), running_.end(), [handle](const Attempt& attempt) { return attempt.handle == handle; });
    if (found == running_.end())
        return;
    const Attempt ended = *found;
    running_.erase(found);
    ended.notifier->setEnabled(false);
    ended.notifier->deleteLater();
    // The callbacks come last: they may start a new race on this object.
    if (code == 0) {
        abandon();
        const Connected connected = connected_;
        connected(ended.handle, ended.address);
        return;
    }
    Platform::closeSocket(ended.handle);
    last_ = {Stage::Outcome, code};
    // A failure does not wait for the delay: the next address is tried now.
    delay_->stop();
    launch();
    if (!running()) {
        const Failed failed = failed_;
        failed(Failure(last_));
    }
}

} // namespace ScktComp
