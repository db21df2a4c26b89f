// Non-blocking TCP/IPv4 socket components driven by the Qt event loop.
//
// A TClientSocket opens one outgoing connection; a TServerSocket listens and
// owns the connections it accepts. Each operating-system socket is wrapped in
// a TCustomWinSocket. Readiness notifications (read, write, connect, close,
// accept) arrive on the thread that owns the objects and become the
// components' events. Events whose callback is unset are dropped.
//
// An error raised while a notification is processed (by the layer or by an
// event handler) ends that notification and goes to the application error
// handler; the next notification is processed normally.
#pragma once

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ScktComp {

// Every error of the connection layer.
class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept };
enum TSocketEvent { seLookup, seConnecting, seConnect, seDisconnect, seListen, seAccept, seWrite, seRead };
enum TServerType { stNonBlocking, stThreadBlocking };
enum TClientType { ctNonBlocking, ctBlocking };

class TCustomWinSocket;
class TServerWinSocket;
class TServerClientWinSocket;

// (Sender, Socket): Sender is the component, or for client events of a
// listening socket its listening connection object; Socket is the connection.
using TSocketNotifyEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket)>;
// (Sender, Socket, ErrorEvent, ErrorCode): setting ErrorCode to 0 suppresses the error.
using TSocketErrorEvent =
    std::function<void(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

// Receives every error that escapes the processing of a notification.
using TApplicationErrorHandler = std::function<void(const std::exception& error)>;
// Installs the process-wide handler; an empty function restores the default (a warning on stderr).
void SetApplicationErrorHandler(TApplicationErrorHandler handler);
// Hands an unhandled error to the installed handler.
void HandleApplicationError(const std::exception& error);

// One operating-system socket and its notifications.
class TCustomWinSocket : public QObject {
public:
    ~TCustomWinSocket() override;

    // Every byte that can be read now; empty when nothing is pending or not connected.
    std::string ReadAvailableText();
    // Sends `text`, queueing what the system does not take at once; the text's
    // length, or 0 when not connected.
    int SendTextOnce(std::string_view text);
    // The peer's dotted IPv4 address; empty when not connected.
    std::string PeerAddress();
    // The peer's host name by reverse lookup; empty when none is found or not connected.
    std::string PeerHostName();

    // True while the socket is open for use.
    bool Connected() const { return connected_; }
    // The operating-system handle, or -1.
    int SocketHandle() const { return handle_; }
    // Bytes queued for sending and not yet taken by the system.
    std::size_t PendingSendBytes() const;

    // Runs the closing sequence on the current socket.
    void Close();

protected:
    explicit TCustomWinSocket(QObject* parent);
    struct Impl;
    std::unique_ptr<Impl> d;
    int handle_ = -1;
    bool connected_ = false;

    // Takes over a fresh handle; its notifications start disabled.
    void adoptHandle(int handle);
    // Closes the socket without any event and forgets the send queue.
    void closeSilently();
    // Drops every callback: the object delivers nothing from now on.
    void silence();
    // The disconnect event while the socket is open, then the close.
    void closingSequence(int handle);
    // Delivers `event` concerning `socket` (this object, or a new connection).
    void deliverEvent(TCustomWinSocket* socket, TSocketEvent event);
    // The error callback, then "Asynchronous socket error %d" unless the code became 0.
    void errorSequence(TErrorEvent kind, int code);
    // The error callback, the closing sequence, then the socket error of `api`.
    void failedTransfer(TErrorEvent kind, int code, const char* api);
    void readNotification();
    void writeNotification();
    // The end of a connection attempt, with its error code.
    void connectNotification(int code);
    void flushOutgoing();
    virtual void acceptNotification() {}

    friend class TClientSocket;
    friend class TServerSocket;
    friend class TServerWinSocket;
    friend class TServerClientWinSocket;
    friend class BusyScope;
};

// The outgoing connection of a TClientSocket, used for every attempt.
class TClientWinSocket : public TCustomWinSocket {
public:
    explicit TClientWinSocket(QObject* parent = nullptr);
    TClientType ClientType() const { return clientType_; }
    void SetClientType(TClientType value);

private:
    TClientType clientType_ = ctNonBlocking;
};

// One accepted connection of a listening socket.
class TServerClientWinSocket : public TCustomWinSocket {
public:
    TServerWinSocket* ServerWinSocket() const;

private:
    explicit TServerClientWinSocket(TServerWinSocket* server, int handle);
    friend class TServerWinSocket;
};

// The listening socket of a TServerSocket; owns the accepted connections.
class TServerWinSocket : public TCustomWinSocket {
public:
    explicit TServerWinSocket(QObject* parent = nullptr);
    ~TServerWinSocket() override;

    TServerType ServerType() const { return serverType_; }
    void SetServerType(TServerType value);
    // The number of accepted connections still in the list.
    int ActiveConnections() const;
    // The accepted connection at `index`, oldest first; raises "List index out of bounds (%d)".
    TServerClientWinSocket* ConnectionAt(int index) const;

private:
    void acceptNotification() override;
    // Takes the connection out of the list, closes it without events and
    // destroys it now, or once its own processing has returned.
    void releaseConnection(TServerClientWinSocket* connection);
    void releaseAllConnections();
    // The release after OnClientDisconnect, carried out by the event loop.
    void scheduleRelease(TCustomWinSocket* connection);

    TServerType serverType_ = stNonBlocking;
    std::vector<QPointer<TServerClientWinSocket>> connections_;
    friend class TServerSocket;
    friend class TServerClientWinSocket;
    friend class TCustomWinSocket;
};

// A component that opens one outgoing connection to Host:Port.
class TClientSocket : public QObject {
public:
    explicit TClientSocket(QObject* parent = nullptr);
    ~TClientSocket() override;

    bool Active() const;
    void SetActive(bool value);
    std::string Host() const { return host_; }
    void SetHost(const std::string& value);
    std::string Address() const { return address_; }
    void SetAddress(const std::string& value);
    int Port() const { return port_; }
    void SetPort(int value);
    std::string Service() const { return service_; }
    void SetService(const std::string& value);
    TClientType ClientType() const;
    void SetClientType(TClientType value);

    // The connection object, owned by the component.
    TClientWinSocket* Socket() const { return socket_; }

    TSocketNotifyEvent OnLookup, OnConnecting, OnConnect, OnDisconnect, OnRead, OnWrite;
    TSocketErrorEvent OnError;

private:
    void open();

    TClientWinSocket* socket_;
    std::string host_, address_, service_;
    int port_ = 0;
    bool active_ = false;
    friend class TCustomWinSocket;
};

// A component that listens on Port and accepts every incoming connection.
class TServerSocket : public QObject {
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    bool Active() const;
    void SetActive(bool value);
    int Port() const { return port_; }
    void SetPort(int value);
    std::string Service() const { return service_; }
    void SetService(const std::string& value);
    TServerType ServerType() const;
    void SetServerType(TServerType value);
    int ThreadCacheSize() const { return threadCacheSize_; }
    void SetThreadCacheSize(int value) { threadCacheSize_ = value; }

    // The listening connection object, owned by the component.
    TServerWinSocket* Socket() const { return socket_; }

    TSocketNotifyEvent OnListen, OnAccept, OnClientConnect, OnClientDisconnect, OnClientRead, OnClientWrite;
    TSocketErrorEvent OnClientError;

private:
    void open();

    TServerWinSocket* socket_;
    std::string service_;
    int port_ = 0;
    int threadCacheSize_ = 10;
    bool active_ = false;
    friend class TCustomWinSocket;
};

} // namespace ScktComp
