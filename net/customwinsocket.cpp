#include "net/customwinsocket.h"

#include "net/customwinsocket_p.h"
#include "net/socketevents_p.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <limits>
#include <utility>

// How the system's readiness maps onto the layer's notifications:
//
//  - read:    the read notifier fires and bytes are pending. The notifier is
//             then switched off until the next ReadAvailableText, so a read
//             that nobody takes does not spin the event loop.
//  - close:   the read notifier fires with nothing pending and a peek sees the
//             end of the stream; a peek that fails (reset) is a close carrying
//             that error, after which the notifier stays off.
//  - connect: the write notifier of an attempt's own socket fires (see
//             ConnectRace); SO_ERROR is its error code. The winner then takes
//             the place of the socket opened for the attempt.
//  - write:   the write notifier fires once after a connection stands, and
//             again only after a send would have blocked and the queue of
//             untaken bytes has drained.
//  - accept:  the read notifier of a listening socket fires.

namespace ScktComp {

using Platform::Handle;
using Platform::kNoSocket;

// --- TCustomWinSocket -------------------------------------------------------

TCustomWinSocket::TCustomWinSocket(QObject* parent)
    : TCustomWinSocket(parent, std::make_unique<TCustomWinSocketPrivate>())
{
}

TCustomWinSocket::TCustomWinSocket(QObject* parent, std::unique_ptr<TCustomWinSocketPrivate> d)
    : QObject(parent), d_(std::move(d))
{
    d_->attach(*this);
}

TCustomWinSocket::~TCustomWinSocket()
{
    d_->silence();
    d_->closeSilently();
}

TCustomWinSocketPrivate& TCustomWinSocket::d_func() const
{
    return *d_;
}

std::string TCustomWinSocket::ReadAvailableText()
{
    return d_->readAvailableText();
}

int TCustomWinSocket::SendTextOnce(std::string_view text)
{
    return d_->sendTextOnce(text);
}

std::string TCustomWinSocket::PeerAddress()
{
    return d_->peerAddress();
}

std::string TCustomWinSocket::PeerHostName()
{
    return d_->peerHostName();
}

bool TCustomWinSocket::Connected() const
{
    return d_->connected();
}

int TCustomWinSocket::SocketHandle() const
{
    return d_->handle();
}

std::size_t TCustomWinSocket::PendingSendBytes() const
{
    return d_->pendingSendBytes();
}

void TCustomWinSocket::Close()
{
    d_->closingSequence(d_->handle());
}

// --- TCustomWinSocketPrivate ------------------------------------------------

TCustomWinSocketPrivate::TCustomWinSocketPrivate() = default;

TCustomWinSocketPrivate::~TCustomWinSocketPrivate() = default;

void TCustomWinSocketPrivate::attach(TCustomWinSocket& owner)
{
    q_ = &owner;
    reader_ = new QSocketNotifier(QSocketNotifier::Read, &owner);
    writer_ = new QSocketNotifier(QSocketNotifier::Write, &owner);
    reader_->setEnabled(false);
    writer_->setEnabled(false);
    QObject::connect(reader_, &QSocketNotifier::activated, &owner, [this] { guarded([this] { readNotification(); }); });
    QObject::connect(writer_, &QSocketNotifier::activated, &owner,
                     [this] { guarded([this] { writeNotification(); }); });
}

void TCustomWinSocketPrivate::setSinks(EventSink events, ErrorSink errors)
{
    onEvent_ = std::move(events);
    onError_ = std::move(errors);
}

void TCustomWinSocketPrivate::silence()
{
    onEvent_ = nullptr;
    onError_ = nullptr;
}

void TCustomWinSocketPrivate::setReading(bool on)
{
    reader_->setEnabled(on);
}

void TCustomWinSocketPrivate::adoptHandle(Handle handle)
{
    reader_->setEnabled(false);
    writer_->setEnabled(false);
    reader_->setSocket(handle);
    writer_->setSocket(handle);
    handle_ = handle;
    ++generation_;
}

void TCustomWinSocketPrivate::markConnected(bool watchWrite)
{
    connected_ = true;
    reader_->setEnabled(true);
    writer_->setEnabled(watchWrite);
}

void TCustomWinSocketPrivate::clearOutgoing()
{
    outgoing_.clear();
    outgoing_.shrink_to_fit();
    outgoingStart_ = 0;
}

int TCustomWinSocketPrivate::dropSocket()
{
    reader_->setEnabled(false);
    writer_->setEnabled(false);
    connecting_ = false;
    if (race_)
        race_->abandon();
    clearOutgoing();
    connected_ = false;
    if (handle_ == kNoSocket)
        return 0;
    return Platform::closeSocket(std::exchange(handle_, kNoSocket));
}

void TCustomWinSocketPrivate::closeSilently()
{
    dropSocket();
}

void TCustomWinSocketPrivate::open(const char* alreadyOpen,
                                   const std::function<void(const AttemptGuard& attempt)>& steps)
{
    if (connected_)
        throw ESocketError(alreadyOpen);
    closeSilently();
    Handle handle = kNoSocket;
    if (createHandle(handle) != 0)
        throw ESocketError("Can't create new socket");
    adoptHandle(handle);
    const AttemptGuard attempt(*this);
    try {
        steps(attempt);
    } catch (...) {
        // The first error goes to the caller; one raised by the disconnect
        // handler on the way out goes to the application.
        if (attempt.current())
            guarded([&] { closingSequence(handle); });
        throw;
    }
}

int TCustomWinSocketPrivate::createHandle(Handle& handle)
{
    return Platform::createStream(handle);
}

void TCustomWinSocketPrivate::beginConnect(std::vector<Platform::SocketAddress> addresses)
{
    if (!race_) {
        race_ = std::make_unique<ConnectRace>(
            *q_, [this](Handle connected, const Platform::SocketAddress& address) { connectSucceeded(connected, address); },
            [this](const ConnectRace::Failure& failure) { connectFailed(failure.code); });
    }
    ConnectRace::Failure failure;
    if (race_->start(std::move(addresses), failure)) {
        connecting_ = true;
        return;
    }
    switch (failure.stage) {
    case ConnectRace::Stage::Create:
        throw ESocketError("Can't create new socket");
    case ConnectRace::Stage::Call:
        raiseSocketError(failure.code, "connect");
    case ConnectRace::Stage::Outcome:
        break;
    }
    // Ended inside the call: the outcome still arrives as a notification.
    connecting_ = true;
    QMetaObject::invokeMethod(
        q_,
        [this, attempt = AttemptGuard(*this), code = failure.code] {
            if (attempt.current() && connecting_)
                guarded([&] { connectFailed(code); });
        },
        Qt::QueuedConnection);
}

void TCustomWinSocketPrivate::deliverEvent(TCustomWinSocket* socket, TSocketEvent event)
{
    const EventSink sink = onEvent_;
    if (sink)
        sink(socket, event);
}

void TCustomWinSocketPrivate::errorSequence(TErrorEvent kind, int code)
{
    const ErrorSink sink = onError_;
    if (sink)
        sink(q_, kind, code);
    if (code != 0)
        raiseFormatted("Asynchronous socket error %d", code);
}

void TCustomWinSocketPrivate::failedTransfer(TErrorEvent kind, int code, const char* api)
{
    const AttemptGuard attempt(*this);
    const ErrorSink sink = onError_;
    try {
        if (sink)
            sink(q_, kind, code);
    } catch (...) {
        // The connection is broken whatever the handler did.
        if (attempt.current())
            guarded([&] { closingSequence(attempt.handle()); });
        throw;
    }
    if (attempt.current())
        closingSequence(attempt.handle());
    if (code != 0)
        raiseSocketError(code, api);
}

void TCustomWinSocketPrivate::closingSequence(Handle handle)
{
    if (handle_ == kNoSocket || handle != handle_)
        return;
    BusyScope scope(*this);
    const AttemptGuard attempt(*this);
    try {
        deliverEvent(q_, seDisconnect);
    } catch (...) {
        // Left open, the socket would refuse every later opening.
        if (attempt.current())
            dropSocket();
        throw;
    }
    // A handler may have closed the socket, or closed it and opened another.
    if (!attempt.current())
        return;
    if (const int code = dropSocket())
        raiseSocketError(code, "closesocket");
}

void TCustomWinSocketPrivate::leaveProcessing()
{
    if (--busy_ == 0 && releaseWhenIdle_)
        q_->deleteLater();
}

void TCustomWinSocketPrivate::destroyWhenIdle()
{
    if (busy_ > 0)
        releaseWhenIdle_ = true;
    else
        delete q_;
}

void TCustomWinSocketPrivate::readNotification()
{
    if (handle_ == kNoSocket)
        return;
    BusyScope scope(*this);
    const Handle handle = handle_;
    std::size_t count = 0;
    int code = Platform::bytesReadable(handle, count);
    if (code == 0 && count == 0)
        code = Platform::peekByte(handle, count);
    if (code != 0 && Platform::isWouldBlock(code))
        return;
    reader_->setEnabled(false);
    if (code != 0) {
        errorSequence(eeDisconnect, code);
    } else if (count > 0) {
        deliverEvent(q_, seRead);
    } else {
        closingSequence(handle);
    }
}

void TCustomWinSocketPrivate::writeNotification()
{
    if (handle_ == kNoSocket)
        return;
    BusyScope scope(*this);
    if (!connected_) {
        writer_->setEnabled(false);
        return;
    }
    const AttemptGuard attempt(*this);
    flushOutgoing();
    if (!attempt.current() || !connected_ || pendingSendBytes() > 0)
        return;
    writer_->setEnabled(false);
    deliverEvent(q_, seWrite);
}

void TCustomWinSocketPrivate::connectSucceeded(Handle connected, const Platform::SocketAddress& address)
{
    BusyScope scope(*this);
    connecting_ = false;
    // Under the number of the handle opened for the attempt, the connection
    // is the same socket to everything that watches or guards that handle.
    if (const int code = Platform::replaceSocket(handle_, connected)) {
        errorSequence(eeConnect, code);
        return;
    }
    rememberAddress(address);
    // The writer stays on: its next notification is the first write event.
    markConnected(true);
    deliverEvent(q_, seConnect);
}

void TCustomWinSocketPrivate::connectFailed(int code)
{
    BusyScope scope(*this);
    // The socket opened for the attempt stays until the next opening, but quiet.
    connecting_ = false;
    errorSequence(eeConnect, code);
}

void TCustomWinSocketPrivate::flushOutgoing()
{
    while (pendingSendBytes() > 0) {
        std::size_t sent = 0;
        const int code = Platform::sendSome(handle_, outgoing_.data() + outgoingStart_, pendingSendBytes(), sent);
        if (code != 0) {
            if (Platform::isWouldBlock(code))
                return;
            failedTransfer(eeSend, code, "send");
            return;
        }
        outgoingStart_ += sent;
        if (outgoingStart_ >= outgoing_.size() / 2) {
            outgoing_.erase(0, outgoingStart_);
            outgoingStart_ = 0;
        }
    }
    clearOutgoing();
}

std::string TCustomWinSocketPrivate::readAvailableText()
{
    if (!connected_ || handle_ == kNoSocket)
        return {};
    BusyScope scope(*this);
    const Handle handle = handle_;
    std::size_t count = 0;
    int code = Platform::bytesReadable(handle, count);
    std::string text;
    if (code == 0 && count > 0) {
        text.resize(count);
        std::size_t received = 0;
        code = Platform::receiveSome(handle, text.data(), count, received);
        text.resize(code == 0 ? received : 0);
    }
    if (code != 0 && !Platform::isWouldBlock(code)) {
        failedTransfer(eeReceive, code, "recv");
        return {};
    }
    // A receive is what allows the next read notification.
    if (handle_ == handle && connected_)
        reader_->setEnabled(true);
    return text;
}

int TCustomWinSocketPrivate::sendTextOnce(std::string_view text)
{
    if (!connected_ || handle_ == kNoSocket)
        return 0;
    BusyScope scope(*this);
    const int length = static_cast<int>(std::min<std::size_t>(text.size(), std::numeric_limits<int>::max()));
    text = text.substr(0, static_cast<std::size_t>(length));
    if (pendingSendBytes() > 0) {
        outgoing_.append(text);
        return length;
    }
    std::size_t sent = 0;
    const int code = text.empty() ? 0 : Platform::sendSome(handle_, text.data(), text.size(), sent);
    if (code != 0 && !Platform::isWouldBlock(code)) {
        failedTransfer(eeSend, code, "send");
        return 0;
    }
    if (sent < text.size()) {
        outgoing_.assign(text.substr(sent));
        outgoingStart_ = 0;
        writer_->setEnabled(true);
    }
    return length;
}

std::string TCustomWinSocketPrivate::peerAddress()
{
    if (!connected_ || handle_ == kNoSocket)
        return {};
    Platform::SocketAddress peer;
    if (const int code = Platform::peerAddress(handle_, peer))
        raiseSocketError(code, "getpeername");
    return Platform::formatAddress(peer);
}

std::string TCustomWinSocketPrivate::peerHostName()
{
    if (!connected_ || handle_ == kNoSocket)
        return {};
    Platform::SocketAddress peer;
    if (const int code = Platform::peerAddress(handle_, peer))
        raiseSocketError(code, "getpeername");
    return Platform::lookupHostName(peer);
}

} // namespace ScktComp
