// Internal to the connection layer: the state of one connection object and
// the operations that the components and the listening socket use on it.
#pragma once

#include "net/connectrace_p.h"
#include "net/customwinsocket.h"
#include "net/platformsocket.h"

#include <QPointer>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;

namespace ScktComp {

class AttemptGuard;

class TCustomWinSocketPrivate {
public:
    using EventSink = std::function<void(TCustomWinSocket* socket, TSocketEvent event)>;
    using ErrorSink = std::function<void(TCustomWinSocket* socket, TErrorEvent kind, int& code)>;

    TCustomWinSocketPrivate();
    virtual ~TCustomWinSocketPrivate();
    TCustomWinSocketPrivate(const TCustomWinSocketPrivate&) = delete;
    TCustomWinSocketPrivate& operator=(const TCustomWinSocketPrivate&) = delete;

    static TCustomWinSocketPrivate& of(const TCustomWinSocket& socket) { return socket.d_func(); }

    // Called once by the object's constructor.
    void attach(TCustomWinSocket& owner);

    TCustomWinSocket& owner() const { return *q_; }
    Platform::Handle handle() const { return handle_; }
    bool connected() const { return connected_; }
    // Counts the handles taken over, so that late work for a closed handle
    // cannot act on a new one that reuses its number.
    std::uint64_t generation() const { return generation_; }
    std::size_t pendingSendBytes() const { return outgoing_.size() - outgoingStart_; }

    // Where this object's events and errors go.
    void setSinks(EventSink events, ErrorSink errors);
    // Drops every callback: the object delivers nothing from now on.
    virtual void silence();

    // Opens a fresh socket for a new attempt and runs `steps` on it. Refuses
    // with `alreadyOpen` while connected; a socket left by an earlier attempt
    // is dropped without events so that it cannot speak for this one. If the
    // steps raise, the closing sequence runs (unless a handler has already
    // moved on to another socket) and the error goes on to the caller.
    void open(const char* alreadyOpen, const std::function<void(const AttemptGuard& attempt)>& steps);
    // Starts non-blocking connects to `addresses` (in the order of trying, not
    // empty; see ConnectRace). The first that connects becomes this object's
    // socket, under the number of the handle opened for the attempt, and
    // delivers the connect event. When every address has failed, the error
    // sequence runs with the last failure's code. When all fail inside this
    // call, the last failure decides: a failed connect call raises its socket
    // error here, a socket that could not be made "Can't create new socket",
    // and an attempt that the system ended at once is reported through the
    // error sequence once this call has returned.
    void beginConnect(std::vector<Platform::SocketAddress> addresses);
    // Marks the socket open for use and starts watching it.
    void markConnected(bool watchWrite);
    void rememberAddress(const Platform::SocketAddress& address) { address_ = address; }
    // Takes over a fresh handle; its notifications start disabled.
    void adoptHandle(Platform::Handle handle);

    void deliverEvent(TCustomWinSocket* socket, TSocketEvent event);
    // The error callback, then "Asynchronous socket error %d" unless the code became 0.
    void errorSequence(TErrorEvent kind, int code);
    // The disconnect event while the socket is open, then the close.
    void closingSequence(Platform::Handle handle);
    // Closes the socket without any event and forgets the send queue.
    void closeSilently();

    std::string readAvailableText();
    int sendTextOnce(std::string_view text);
    std::string peerAddress();
    std::string peerHostName();

    // Processing of this object under way; see BusyScope.
    void enterProcessing() { ++busy_; }
    void leaveProcessing();
    // Destroys the object now, or once every processing of it has returned.
    void destroyWhenIdle();

protected:
    // A new socket for `open`, non-blocking and close-on-exec; 0 or the error code.
    virtual int createHandle(Platform::Handle& handle);
    virtual void readNotification();
    void setReading(bool on);

private:
    void writeNotification();
    // The end of a connection attempt: the socket that connected, or the
    // error code when every address has failed.
    void connectSucceeded(Platform::Handle connected, const Platform::SocketAddress& address);
    void connectFailed(int code);
    // Sends queued bytes until the queue is empty or the system would block.
    void flushOutgoing();
    // The error callback, the closing sequence, then the socket error of `api`.
    void failedTransfer(TErrorEvent kind, int code, const char* api);
    // Forgets the socket and closes it, without events; the close's error code.
    int dropSocket();
    void clearOutgoing();

    TCustomWinSocket* q_ = nullptr;
    QSocketNotifier* reader_ = nullptr;
    QSocketNotifier* writer_ = nullptr;
    EventSink onEvent_;
    ErrorSink onError_;
    Platform::Handle handle_ = Platform::kNoSocket;
    bool connected_ = false;
    bool connecting_ = false;
    // The attempts of an outgoing connection; made at the first.
    std::unique_ptr<ConnectRace> race_;
    Platform::SocketAddress address_;
    std::uint64_t generation_ = 0;
    // Notifications and operations of this object still running, and whether
    // the object is to be destroyed once they have all returned.
    int busy_ = 0;
    bool releaseWhenIdle_ = false;
    // Bytes a send did not take, from `outgoingStart_` on, in order.
    std::string outgoing_;
    std::size_t outgoingStart_ = 0;
};

// Which attempt a piece of work belongs to: the object, its handle and the
// generation of that handle. A handler may close the socket, or close it and
// open another that reuses the number; work for the old one must then stop.
class AttemptGuard {
public:
    explicit AttemptGuard(const TCustomWinSocketPrivate& d)
        : object_(&d.owner()), d_(&d), generation_(d.generation()), handle_(d.handle())
    {
    }
    // True while the object lives and still holds the same socket.
    bool current() const { return object_ && d_->generation() == generation_ && d_->handle() == handle_; }
    Platform::Handle handle() const { return handle_; }

private:
    QPointer<TCustomWinSocket> object_;
    const TCustomWinSocketPrivate* d_;
    std::uint64_t generation_;
    Platform::Handle handle_;
};

// Marks an object as being processed; a release requested meanwhile waits
// until the outermost scope ends.
class BusyScope {
public:
    explicit BusyScope(TCustomWinSocketPrivate& d) : object_(&d.owner()), d_(&d) { d.enterProcessing(); }
    ~BusyScope()
    {
        if (object_)
            d_->leaveProcessing();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    QPointer<TCustomWinSocket> object_;
    TCustomWinSocketPrivate* d_;
};

} // namespace ScktComp
