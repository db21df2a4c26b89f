#include "net/serverwinsocket.h"

#include "net/serverclientwinsocket_p.h"
#include "net/serverwinsocket_p.h"
#include "net/socketevents_p.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <utility>

namespace ScktComp {

using Platform::Handle;
using Platform::kNoSocket;

namespace {

constexpr int kMaxBacklog = 5;

// Out of descriptors, the waiting connection stays queued and the notifier
// would fire again at once. Five tries a second cost nothing while the
// shortage lasts, and take a waiting peer within a fifth of a second of a
// descriptor coming free, long before its connect gives up.
constexpr std::chrono::milliseconds kAcceptRetryDelay{200};

} // namespace

// --- TServerWinSocket -------------------------------------------------------

TServerWinSocket::TServerWinSocket(QObject* parent)
    : TCustomWinSocket(parent, std::make_unique<TServerWinSocketPrivate>())
{
}

TServerWinSocket::~TServerWinSocket()
{
    TServerWinSocketPrivate& d = TServerWinSocketPrivate::of(*this);
    d.silence();
    d.releaseAllConnections();
}

void TServerWinSocket::SetServerType(TServerType value)
{
    if (Connected())
        throw ESocketError("Can't change value while socket is active");
    serverType_ = value;
}

int TServerWinSocket::ActiveConnections() const
{
    return TServerWinSocketPrivate::of(*this).count();
}

TServerClientWinSocket* TServerWinSocket::ConnectionAt(int index) const
{
    return TServerWinSocketPrivate::of(*this).at(index);
}

// --- TServerWinSocketPrivate ------------------------------------------------

void TServerWinSocketPrivate::setClientSinks(EventSink events, ErrorSink errors)
{
    onClientEvent_ = std::move(events);
    onClientError_ = std::move(errors);
}

void TServerWinSocketPrivate::silence()
{
    TCustomWinSocketPrivate::silence();
    onClientEvent_ = nullptr;
    onClientError_ = nullptr;
}

void TServerWinSocketPrivate::deliverClientEvent(TCustomWinSocket* connection, TSocketEvent event)
{
    const EventSink sink = onClientEvent_;
    if (sink)
        sink(connection, event);
}

void TServerWinSocketPrivate::clientError(TCustomWinSocket* connection, TErrorEvent kind, int& code)
{
    const ErrorSink sink = onClientError_;
    if (sink)
        sink(connection, kind, code);
}

int TServerWinSocketPrivate::createHandle(Handle& handle)
{
    // Taking both families on one socket keeps one accept path and one event
    // order for every peer; its IPv4 peers look like IPv6 ones only to the
    // system (see Platform::peerAddress).
    if (Platform::createDualStack(handle) == 0) {
        family_ = Platform::Family::IPv6;
        return 0;
    }
    family_ = Platform::Family::IPv4;
    return Platform::createStream(handle, family_);
}

void TServerWinSocketPrivate::listen(std::uint16_t port, const AttemptGuard& attempt)
{
    const Handle handle = attempt.handle();
    const Platform::SocketAddress address = Platform::anyAddress(family_, port);
    // Lets a restarted listener take the port while old connections linger
    // in TIME_WAIT; a port another socket listens on still refuses the bind.
    Platform::enableAddressReuse(handle);
    rememberAddress(address);
    if (const int code = Platform::bindTo(handle, address))
        raiseSocketError(code, "bind");
    deliverEvent(&owner(), seListen);
    if (!attempt.current())
        return;
    if (const int code = Platform::listenOn(handle, kMaxBacklog))
        raiseSocketError(code, "listen");
    failureReported_ = false;
    markConnected(false);
}

TServerClientWinSocket* TServerWinSocketPrivate::at(int index) const
{
    if (index < 0 || index >= count())
        raiseFormatted("List index out of bounds (%d)", index);
    return connections_[static_cast<std::size_t>(index)].data();
}

void TServerWinSocketPrivate::readNotification()
{
    if (handle() == kNoSocket)
        return;
    BusyScope scope(*this);
    Handle accepted = kNoSocket;
    if (const int code = Platform::acceptOne(handle(), accepted)) {
        if (Platform::isWouldBlock(code))
            failureReported_ = false;
        else
            acceptFailed(code);
        return;
    }
    failureReported_ = false;
    if (accepted == kNoSocket)
        return;
    auto* const listener = static_cast<TServerWinSocket*>(&owner());
    const QPointer<TServerWinSocket> self(listener);
    const QPointer<TServerClientWinSocket> connection(new TServerClientWinSocket(AcceptKey{}, listener, accepted));
    connections_.emplace_back(connection);
    BusyScope connectionScope(connection->d_func());
    connection->d_func().deliverEvent(connection, seConnect);
    // OnClientConnect may have closed the listening socket and with it this connection.
    if (!self || !connection || std::find(connections_.begin(), connections_.end(), connection) == connections_.end())
        return;
    deliverEvent(connection, seAccept);
}

void TServerWinSocketPrivate::acceptFailed(int code)
{
    setReading(false);
    if (!Platform::isPassingAcceptFailure(code)) {
        // The listening socket itself has failed: it stops as Active := false
        // would stop it, so the error event finds Active false.
        releaseAllConnections();
        closingSequence(handle());
        errorSequence(eeAccept, code);
        return;
    }
    if (!retry_) {
        retry_ = new QTimer(&owner());
        retry_->setSingleShot(true);
        retry_->setInterval(kAcceptRetryDelay);
        QObject::connect(retry_, &QTimer::timeout, &owner(), [this] {
            if (retryFor_ && retryFor_->current() && connected())
                setReading(true);
        });
    }
    retryFor_.emplace(*this);
    retry_->start();
    if (std::exchange(failureReported_, true))
        return;
    errorSequence(eeAccept, code);
}

void TServerWinSocketPrivate::releaseConnection(TServerClientWinSocket* connection)
{
    const auto entry = std::find(connections_.begin(), connections_.end(), connection);
    if (entry == connections_.end())
        return;
    connections_.erase(entry);
    TServerClientWinSocketPrivate& d = TServerClientWinSocketPrivate::of(*connection);
    d.silence();
    d.closeSilently();
    d.setServer(nullptr);
    d.destroyWhenIdle();
}

void TServerWinSocketPrivate::releaseAllConnections()
{
    while (!connections_.empty()) {
        TServerClientWinSocket* newest = connections_.back().data();
        if (!newest) {
            connections_.pop_back();
            continue;
        }
        releaseConnection(newest);
    }
}

void TServerWinSocketPrivate::scheduleRelease(TCustomWinSocket* connection)
{
    QMetaObject::invokeMethod(
        &owner(),
        [this, target = QPointer<TCustomWinSocket>(connection)] {
            if (!target)
                return;
            for (const auto& entry : connections_) {
                if (static_cast<QObject*>(entry.data()) == static_cast<QObject*>(target.data())) {
                    releaseConnection(entry.data());
                    return;
                }
            }
        },
        Qt::QueuedConnection);
}

void TServerWinSocketPrivate::forget(TCustomWinSocket* connection)
{
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [connection](const QPointer<TServerClientWinSocket>& entry) {
                                          return static_cast<QObject*>(entry.data()) ==
                                                 static_cast<QObject*>(connection);
                                      }),
                       connections_.end());
}

} // namespace ScktComp
