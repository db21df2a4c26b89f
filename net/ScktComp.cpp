#include "net/ScktComp.h"

#include "net/platformsocket.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QtGlobal>

#include <algorithm>
#include <cctype>
#include <cstdio>
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
//  - connect: the write notifier fires while an attempt is under way; SO_ERROR
//             is its error code.
//  - write:   the write notifier fires once after a connection stands, and
//             again only after a send would have blocked and the queue of
//             untaken bytes has drained.
//  - accept:  the read notifier of a listening socket fires.

namespace ScktComp {

namespace {

using Platform::Handle;
using Platform::kNoSocket;

TApplicationErrorHandler& applicationErrorHandler()
{
    static TApplicationErrorHandler handler;
    return handler;
}

[[noreturn]] void raiseSocketError(int code, const char* api)
{
    const std::string text = Platform::errorText(code);
    char message[512];
    std::snprintf(message, sizeof message, "Windows socket error: %s (%d), on API '%s'", text.c_str(), code, api);
    throw ESocketError(message);
}

[[noreturn]] void raiseFormatted(const char* format, int value)
{
    char message[128];
    std::snprintf(message, sizeof message, format, value);
    throw ESocketError(message);
}

bool sameText(const std::string& a, const std::string& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

// Runs one notification; nothing it raises may unwind into the event loop.
template <typename Work>
void guarded(Work work) noexcept
{
    try {
        work();
    } catch (const std::exception& error) {
        HandleApplicationError(error);
    } catch (...) {
        HandleApplicationError(ESocketError("Unknown error"));
    }
}

Platform::SocketAddress resolveAddress(const std::string& host, const std::string& address, int port,
                                       const std::string& service, bool client)
{
    Platform::SocketAddress resolved;
    if (!host.empty()) {
        resolved.address = Platform::lookupHost(host);
    } else if (!address.empty()) {
        if (!Platform::parseDotted(address, resolved.address))
            resolved.address = 0;
    } else if (client) {
        throw ESocketError("No address specified");
    }
    resolved.port = service.empty() ? static_cast<std::uint16_t>(port) : Platform::lookupService(service);
    return resolved;
}

constexpr int kMaxBacklog = 5;

} // namespace

void SetApplicationErrorHandler(TApplicationErrorHandler handler)
{
    applicationErrorHandler() = std::move(handler);
}

void HandleApplicationError(const std::exception& error)
{
    const TApplicationErrorHandler handler = applicationErrorHandler();
    if (handler) {
        try {
            handler(error);
            return;
        } catch (...) {
            // A failing handler must not take the event loop down; fall back to the warning.
        }
    }
    qWarning("%s", error.what());
}

struct TCustomWinSocket::Impl {
    using EventCallback = std::function<void(TCustomWinSocket* socket, TSocketEvent event)>;
    using ErrorCallback = std::function<void(TCustomWinSocket* socket, TErrorEvent kind, int& code)>;

    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;
    EventCallback onEvent;
    ErrorCallback onError;
    // For a listening socket: where its accepted connections send their events.
    EventCallback onClientEvent;
    ErrorCallback onClientError;
    // For an accepted connection: its listening socket.
    QPointer<TServerWinSocket> server;

    Platform::SocketAddress address;
    bool listening = false;
    bool connecting = false;
    // Counts the handles taken over, so that late work for a closed handle
    // cannot act on a new one that reuses its number.
    std::uint64_t generation = 0;
    // Notifications and operations of this object still running, and whether
    // the object is to be destroyed once they have all returned.
    int busy = 0;
    bool releaseWhenIdle = false;
    // Bytes a send did not take, from `outgoingStart` on, in order.
    std::string outgoing;
    std::size_t outgoingStart = 0;

    std::size_t pending() const { return outgoing.size() - outgoingStart; }
    void clearOutgoing()
    {
        outgoing.clear();
        outgoing.shrink_to_fit();
        outgoingStart = 0;
    }
};

// Marks an object as being processed; a release requested meanwhile waits
// until the outermost scope ends.
class BusyScope {
public:
    explicit BusyScope(TCustomWinSocket* socket) : socket_(socket) { ++socket->d->busy; }
    ~BusyScope()
    {
        if (socket_ && --socket_->d->busy == 0 && socket_->d->releaseWhenIdle)
            socket_->deleteLater();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    QPointer<TCustomWinSocket> socket_;
};

// --- TCustomWinSocket ------------------------------------------------------

TCustomWinSocket::TCustomWinSocket(QObject* parent) : QObject(parent), d(std::make_unique<Impl>())
{
    d->reader = new QSocketNotifier(QSocketNotifier::Read, this);
    d->writer = new QSocketNotifier(QSocketNotifier::Write, this);
    d->reader->setEnabled(false);
    d->writer->setEnabled(false);
    QObject::connect(d->reader, &QSocketNotifier::activated, this, [this] { guarded([this] { readNotification(); }); });
    QObject::connect(d->writer, &QSocketNotifier::activated, this,
                     [this] { guarded([this] { writeNotification(); }); });
}

TCustomWinSocket::~TCustomWinSocket()
{
    silence();
    closeSilently();
    if (TServerWinSocket* server = d->server.data()) {
        auto& list = server->connections_;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [this](const QPointer<TServerClientWinSocket>& entry) {
                                      return static_cast<QObject*>(entry.data()) == static_cast<QObject*>(this);
                                  }),
                   list.end());
    }
}

void TCustomWinSocket::adoptHandle(int handle)
{
    d->reader->setEnabled(false);
    d->writer->setEnabled(false);
    d->reader->setSocket(handle);
    d->writer->setSocket(handle);
    handle_ = handle;
    ++d->generation;
}

void TCustomWinSocket::closeSilently()
{
    d->reader->setEnabled(false);
    d->writer->setEnabled(false);
    d->connecting = false;
    d->clearOutgoing();
    connected_ = false;
    if (handle_ != kNoSocket) {
        const Handle handle = std::exchange(handle_, kNoSocket);
        Platform::closeSocket(handle);
    }
}

void TCustomWinSocket::silence()
{
    d->onEvent = nullptr;
    d->onError = nullptr;
    d->onClientEvent = nullptr;
    d->onClientError = nullptr;
}

void TCustomWinSocket::deliverEvent(TCustomWinSocket* socket, TSocketEvent event)
{
    const Impl::EventCallback callback = d->onEvent;
    if (callback)
        callback(socket, event);
}

void TCustomWinSocket::errorSequence(TErrorEvent kind, int code)
{
    const Impl::ErrorCallback callback = d->onError;
    if (callback)
        callback(this, kind, code);
    if (code != 0)
        raiseFormatted("Asynchronous socket error %d", code);
}

void TCustomWinSocket::failedTransfer(TErrorEvent kind, int code, const char* api)
{
    const Handle handle = handle_;
    QPointer<TCustomWinSocket> self(this);
    const Impl::ErrorCallback callback = d->onError;
    if (callback)
        callback(this, kind, code);
    if (self)
        closingSequence(handle);
    if (code != 0)
        raiseSocketError(code, api);
}

void TCustomWinSocket::closingSequence(int handle)
{
    if (handle_ == kNoSocket || handle != handle_)
        return;
    BusyScope scope(this);
    QPointer<TCustomWinSocket> self(this);
    const std::uint64_t generation = d->generation;
    deliverEvent(this, seDisconnect);
    // A handler may have closed the socket, or closed it and opened another.
    if (!self || d->generation != generation || handle_ != handle)
        return;
    d->reader->setEnabled(false);
    d->writer->setEnabled(false);
    d->connecting = false;
    d->clearOutgoing();
    handle_ = kNoSocket;
    connected_ = false;
    if (const int code = Platform::closeSocket(handle))
        raiseSocketError(code, "closesocket");
}

void TCustomWinSocket::Close()
{
    closingSequence(handle_);
}

void TCustomWinSocket::readNotification()
{
    if (handle_ == kNoSocket)
        return;
    BusyScope scope(this);
    const Handle handle = handle_;
    if (d->listening) {
        acceptNotification();
        return;
    }
    std::size_t count = 0;
    int code = Platform::bytesReadable(handle, count);
    if (code == 0 && count == 0)
        code = Platform::peekByte(handle, count);
    if (code != 0 && Platform::isWouldBlock(code))
        return;
    d->reader->setEnabled(false);
    if (code != 0) {
        errorSequence(eeDisconnect, code);
    } else if (count > 0) {
        deliverEvent(this, seRead);
    } else {
        closingSequence(handle);
    }
}

void TCustomWinSocket::writeNotification()
{
    if (handle_ == kNoSocket)
        return;
    BusyScope scope(this);
    const Handle handle = handle_;
    if (d->connecting) {
        int code = 0;
        if (const int failure = Platform::pendingError(handle, code))
            code = failure;
        connectNotification(code);
        return;
    }
    if (!connected_) {
        d->writer->setEnabled(false);
        return;
    }
    QPointer<TCustomWinSocket> self(this);
    const std::uint64_t generation = d->generation;
    flushOutgoing();
    if (!self || d->generation != generation || handle_ != handle || !connected_ || d->pending() > 0)
        return;
    d->writer->setEnabled(false);
    deliverEvent(this, seWrite);
}

void TCustomWinSocket::connectNotification(int code)
{
    BusyScope scope(this);
    d->connecting = false;
    if (code != 0) {
        // The failed attempt keeps its socket until the next opening, but quiet.
        d->writer->setEnabled(false);
        errorSequence(eeConnect, code);
        return;
    }
    connected_ = true;
    d->reader->setEnabled(true);
    // The writer stays on: its next notification is the first write event.
    d->writer->setEnabled(true);
    deliverEvent(this, seConnect);
}

// Sends queued bytes until the queue is empty or the system would block.
void TCustomWinSocket::flushOutgoing()
{
    while (d->pending() > 0) {
        std::size_t sent = 0;
        const int code =
            Platform::sendSome(handle_, d->outgoing.data() + d->outgoingStart, d->pending(), sent);
        if (code != 0) {
            if (Platform::isWouldBlock(code))
                return;
            failedTransfer(eeSend, code, "send");
            return;
        }
        d->outgoingStart += sent;
        if (d->outgoingStart >= d->outgoing.size() / 2) {
            d->outgoing.erase(0, d->outgoingStart);
            d->outgoingStart = 0;
        }
    }
    d->clearOutgoing();
}

std::string TCustomWinSocket::ReadAvailableText()
{
    if (!connected_ || handle_ == kNoSocket)
        return {};
    BusyScope scope(this);
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
        d->reader->setEnabled(true);
    return text;
}

int TCustomWinSocket::SendTextOnce(std::string_view text)
{
    if (!connected_ || handle_ == kNoSocket)
        return 0;
    BusyScope scope(this);
    const int length = static_cast<int>(std::min<std::size_t>(text.size(), std::numeric_limits<int>::max()));
    text = text.substr(0, static_cast<std::size_t>(length));
    if (d->pending() > 0) {
        d->outgoing.append(text);
        return length;
    }
    std::size_t sent = 0;
    const int code = text.empty() ? 0 : Platform::sendSome(handle_, text.data(), text.size(), sent);
    if (code != 0 && !Platform::isWouldBlock(code)) {
        failedTransfer(eeSend, code, "send");
        return 0;
    }
    if (sent < text.size()) {
        d->outgoing.assign(text.substr(sent));
        d->outgoingStart = 0;
        d->writer->setEnabled(true);
    }
    return length;
}

std::size_t TCustomWinSocket::PendingSendBytes() const
{
    return d->pending();
}

std::string TCustomWinSocket::PeerAddress()
{
    if (!connected_ || handle_ == kNoSocket)
        return {};
    Platform::SocketAddress peer;
    if (const int code = Platform::peerAddress(handle_, peer))
        raiseSocketError(code, "getpeername");
    return Platform::formatDotted(peer.address);
}

std::string TCustomWinSocket::PeerHostName()
{
    if (!connected_ || handle_ == kNoSocket)
        return {};
    Platform::SocketAddress peer;
    if (const int code = Platform::peerAddress(handle_, peer))
        raiseSocketError(code, "getpeername");
    return Platform::lookupHostName(peer.address);
}

// --- TClientWinSocket -------------------------------------------------------

TClientWinSocket::TClientWinSocket(QObject* parent) : TCustomWinSocket(parent) {}

void TClientWinSocket::SetClientType(TClientType value)
{
    if (connected_)
        throw ESocketError("Can't change value while socket is active");
    clientType_ = value;
}

// --- TServerClientWinSocket -------------------------------------------------

TServerClientWinSocket::TServerClientWinSocket(TServerWinSocket* server, int handle) : TCustomWinSocket(server)
{
    d->server = server;
    d->onEvent = [server = QPointer<TServerWinSocket>(server)](TCustomWinSocket* socket, TSocketEvent event) {
        if (!server)
            return;
        QPointer<TCustomWinSocket> connection(socket);
        const Impl::EventCallback forward = server->d->onClientEvent;
        if (forward)
            forward(socket, event);
        if (event == seDisconnect && server && connection)
            server->scheduleRelease(connection);
    };
    d->onError = [server = QPointer<TServerWinSocket>(server)](TCustomWinSocket* socket, TErrorEvent kind,
                                                                 int& code) {
        if (!server)
            return;
        const Impl::ErrorCallback forward = server->d->onClientError;
        if (forward)
            forward(socket, kind, code);
    };
    adoptHandle(handle);
    connected_ = true;
    d->reader->setEnabled(true);
    d->writer->setEnabled(true);
}

TServerWinSocket* TServerClientWinSocket::ServerWinSocket() const
{
    return d->server.data();
}

// --- TServerWinSocket -------------------------------------------------------

TServerWinSocket::TServerWinSocket(QObject* parent) : TCustomWinSocket(parent)
{
    d->listening = true;
}

TServerWinSocket::~TServerWinSocket()
{
    silence();
    releaseAllConnections();
}

void TServerWinSocket::SetServerType(TServerType value)
{
    if (connected_)
        throw ESocketError("Can't change value while socket is active");
    serverType_ = value;
}

int TServerWinSocket::ActiveConnections() const
{
    return static_cast<int>(connections_.size());
}

TServerClientWinSocket* TServerWinSocket::ConnectionAt(int index) const
{
    if (index < 0 || index >= ActiveConnections())
        raiseFormatted("List index out of bounds (%d)", index);
    return connections_[static_cast<std::size_t>(index)].data();
}

void TServerWinSocket::acceptNotification()
{
    Handle accepted = kNoSocket;
    if (const int code = Platform::acceptOne(handle_, accepted)) {
        if (Platform::isWouldBlock(code))
            return;
        // Left on, a lasting failure (out of descriptors) would fire again at once.
        d->reader->setEnabled(false);
        errorSequence(eeAccept, code);
        return;
    }
    if (accepted == kNoSocket)
        return;
    QPointer<TServerWinSocket> self(this);
    QPointer<TServerClientWinSocket> connection(new TServerClientWinSocket(this, accepted));
    connections_.emplace_back(connection);
    BusyScope scope(connection);
    connection->deliverEvent(connection, seConnect);
    // OnClientConnect may have closed the listening socket and with it this connection.
    if (!self || !connection || std::find(connections_.begin(), connections_.end(), connection) == connections_.end())
        return;
    deliverEvent(connection, seAccept);
}

void TServerWinSocket::releaseConnection(TServerClientWinSocket* connection)
{
    const auto entry = std::find(connections_.begin(), connections_.end(), connection);
    if (entry == connections_.end())
        return;
    connections_.erase(entry);
    connection->silence();
    connection->closeSilently();
    connection->d->server = nullptr;
    if (connection->d->busy > 0)
        connection->d->releaseWhenIdle = true;
    else
        delete connection;
}

void TServerWinSocket::releaseAllConnections()
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

void TServerWinSocket::scheduleRelease(TCustomWinSocket* connection)
{
    QPointer<TCustomWinSocket> target(connection);
    QMetaObject::invokeMethod(
        this,
        [this, target] {
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

// --- TClientSocket ----------------------------------------------------------

TClientSocket::TClientSocket(QObject* parent) : QObject(parent), socket_(new TClientWinSocket(this))
{
    socket_->d->onEvent = [this](TCustomWinSocket* socket, TSocketEvent event) {
        TSocketNotifyEvent handler;
        switch (event) {
        case seLookup:
            handler = OnLookup;
            break;
        case seConnecting:
            handler = OnConnecting;
            break;
        case seConnect:
            active_ = true;
            handler = OnConnect;
            break;
        case seDisconnect:
            active_ = false;
            handler = OnDisconnect;
            break;
        case seRead:
            handler = OnRead;
            break;
        case seWrite:
            handler = OnWrite;
            break;
        default:
            break;
        }
        if (handler)
            handler(this, socket);
    };
    socket_->d->onError = [this](TCustomWinSocket* socket, TErrorEvent kind, int& code) {
        const TSocketErrorEvent handler = OnError;
        if (handler)
            handler(this, socket, kind, code);
    };
}

TClientSocket::~TClientSocket()
{
    socket_->silence();
    socket_->closeSilently();
}

bool TClientSocket::Active() const
{
    return active_;
}

void TClientSocket::SetActive(bool value)
{
    if (value == active_)
        return;
    if (value)
        open();
    else
        socket_->closingSequence(socket_->handle_);
}

void TClientSocket::open()
{
    TClientWinSocket* const socket = socket_;
    if (socket->connected_)
        throw ESocketError("Socket already open");
    // A socket left by an earlier attempt, failed or still under way, is
    // dropped without events so that it cannot speak for this one.
    socket->closeSilently();
    Handle handle = kNoSocket;
    if (Platform::createStream(handle) != 0)
        throw ESocketError("Can't create new socket");
    socket->adoptHandle(handle);
    QPointer<TClientWinSocket> guard(socket);
    const std::uint64_t generation = socket->d->generation;
    // A handler that closed this socket or started another attempt ends this one.
    auto superseded = [&] { return !guard || socket->d->generation != generation || socket->handle_ != handle; };
    try {
        socket->deliverEvent(socket, seLookup);
        const Platform::SocketAddress address = resolveAddress(host_, address_, port_, service_, true);
        if (superseded())
            return;
        socket->d->address = address;
        socket->deliverEvent(socket, seConnecting);
        if (superseded())
            return;
        int outcome = 0;
        if (const int code = Platform::startConnect(handle, address, outcome))
            raiseSocketError(code, "connect");
        socket->d->connecting = true;
        if (outcome == 0) {
            socket->d->writer->setEnabled(true);
        } else {
            // Ended inside the call: the outcome still arrives as a notification.
            QMetaObject::invokeMethod(
                socket,
                [socket, generation = socket->d->generation, outcome] {
                    if (socket->d->generation == generation && socket->handle_ != kNoSocket &&
                        socket->d->connecting)
                        guarded([&] { socket->connectNotification(outcome); });
                },
                Qt::QueuedConnection);
        }
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (!superseded())
            socket->closingSequence(handle);
        std::rethrow_exception(error);
    }
}

void TClientSocket::SetHost(const std::string& value)
{
    if (sameText(value, host_))
        return;
    if (active_)
        throw ESocketError("Can't change value while socket is active");
    host_ = value;
}

void TClientSocket::SetAddress(const std::string& value)
{
    if (sameText(value, address_))
        return;
    if (active_)
        throw ESocketError("Can't change value while socket is active");
    address_ = value;
}

void TClientSocket::SetPort(int value)
{
    if (value == port_)
        return;
    if (active_)
        throw ESocketError("Can't change value while socket is active");
    port_ = value;
}

void TClientSocket::SetService(const std::string& value)
{
    if (sameText(value, service_))
        return;
    if (active_)
        throw ESocketError("Can't change value while socket is active");
    service_ = value;
}

TClientType TClientSocket::ClientType() const
{
    return socket_->ClientType();
}

void TClientSocket::SetClientType(TClientType value)
{
    socket_->SetClientType(value);
}

// --- TServerSocket ----------------------------------------------------------

TServerSocket::TServerSocket(QObject* parent) : QObject(parent), socket_(new TServerWinSocket(this))
{
    socket_->d->onEvent = [this](TCustomWinSocket* socket, TSocketEvent event) {
        TSocketNotifyEvent handler;
        switch (event) {
        case seListen:
            active_ = true;
            handler = OnListen;
            break;
        case seAccept:
            handler = OnAccept;
            break;
        case seDisconnect:
            active_ = false;
            break;
        default:
            break;
        }
        if (handler)
            handler(this, socket);
    };
    socket_->d->onClientEvent = [this](TCustomWinSocket* socket, TSocketEvent event) {
        TSocketNotifyEvent handler;
        switch (event) {
        case seConnect:
            handler = OnClientConnect;
            break;
        case seDisconnect:
            handler = OnClientDisconnect;
            break;
        case seRead:
            handler = OnClientRead;
            break;
        case seWrite:
            handler = OnClientWrite;
            break;
        default:
            break;
        }
        if (handler)
            handler(socket_, socket);
    };
    socket_->d->onClientError = [this](TCustomWinSocket* socket, TErrorEvent kind, int& code) {
        const TSocketErrorEvent handler = OnClientError;
        if (handler)
            handler(socket_, socket, kind, code);
    };
}

TServerSocket::~TServerSocket()
{
    socket_->silence();
    socket_->releaseAllConnections();
    socket_->closeSilently();
}

bool TServerSocket::Active() const
{
    return active_;
}

void TServerSocket::SetActive(bool value)
{
    if (value == active_)
        return;
    if (value) {
        open();
    } else {
        socket_->releaseAllConnections();
        socket_->closingSequence(socket_->handle_);
    }
}

void TServerSocket::open()
{
    TServerWinSocket* const socket = socket_;
    if (socket->connected_)
        throw ESocketError("Can't listen on an open socket");
    socket->closeSilently();
    Handle handle = kNoSocket;
    if (Platform::createStream(handle) != 0)
        throw ESocketError("Can't create new socket");
    socket->adoptHandle(handle);
    QPointer<TServerWinSocket> guard(socket);
    const std::uint64_t generation = socket->d->generation;
    auto superseded = [&] { return !guard || socket->d->generation != generation || socket->handle_ != handle; };
    try {
        // Lets a restarted listener take the port while old connections linger
        // in TIME_WAIT; a port another socket listens on still refuses the bind.
        Platform::enableAddressReuse(handle);
        const Platform::SocketAddress address = resolveAddress({}, {}, port_, service_, false);
        socket->d->address = address;
        if (const int code = Platform::bindTo(handle, address))
            raiseSocketError(code, "bind");
        socket->deliverEvent(socket, seListen);
        if (superseded())
            return;
        if (const int code = Platform::listenOn(handle, kMaxBacklog))
            raiseSocketError(code, "listen");
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (!superseded())
            socket->closingSequence(handle);
        std::rethrow_exception(error);
    }
    socket->connected_ = true;
    socket->d->reader->setEnabled(true);
}

void TServerSocket::SetPort(int value)
{
    if (value == port_)
        return;
    if (active_)
        throw ESocketError("Can't change value while socket is active");
    port_ = value;
}

void TServerSocket::SetService(const std::string& value)
{
    if (sameText(value, service_))
        return;
    if (active_)
        throw ESocketError("Can't change value while socket is active");
    service_ = value;
}

TServerType TServerSocket::ServerType() const
{
    return socket_->ServerType();
}

void TServerSocket::SetServerType(TServerType value)
{
    socket_->SetServerType(value);
}

} // namespace ScktComp
