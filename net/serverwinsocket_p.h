// Internal to the connection layer: the listening socket's accepting and its
// list of accepted connections.
#pragma once

#include "net/customwinsocket_p.h"
#include "net/serverwinsocket.h"

#include <QPointer>

#include <cstdint>
#include <optional>
#include <vector>

class QTimer;

namespace ScktComp {

class TServerClientWinSocket;

// Lets the accepting code, and nothing outside the layer, make accepted connections.
class AcceptKey {};

class TServerWinSocketPrivate : public TCustomWinSocketPrivate {
public:
    static TServerWinSocketPrivate& of(const TServerWinSocket& socket)
    {
        return static_cast<TServerWinSocketPrivate&>(socket.d_func());
    }

    // Where the accepted connections' events and errors go.
    void setClientSinks(EventSink events, ErrorSink errors);
    void silence() override;
    void deliverClientEvent(TCustomWinSocket* connection, TSocketEvent event);
    void clientError(TCustomWinSocket* connection, TErrorEvent kind, int& code);

    // Binds to the wildcard address on `port`, delivers the listen event and listens.
    void listen(std::uint16_t port, const AttemptGuard& attempt);

    int count() const { return static_cast<int>(connections_.size()); }
    TServerClientWinSocket* at(int index) const;
    // Takes every connection out of the list and closes it without events, the newest first.
    void releaseAllConnections();
    // The release after OnClientDisconnect, carried out by the event loop.
    void scheduleRelease(TCustomWinSocket* connection);
    // Drops a connection that is being destroyed from the list.
    void forget(TCustomWinSocket* connection);

protected:
    // One socket for both families where the machine has IPv6, else IPv4 alone.
    int createHandle(Platform::Handle& handle) override;
    void readNotification() override;

private:
    // Takes the connection out of the list, closes it without events and
    // destroys it now, or once its own processing has returned.
    void releaseConnection(TServerClientWinSocket* connection);
    // A passing failure pauses accepting and is reported once; any other
    // stops listening and is then reported.
    void acceptFailed(int code);

    // The family of the listening socket: IPv6 for a dual-stack one.
    Platform::Family family_ = Platform::Family::IPv4;
    EventSink onClientEvent_;
    ErrorSink onClientError_;
    std::vector<QPointer<TServerClientWinSocket>> connections_;
    // Accepting paused after a passing failure, for the listening socket it concerns.
    QTimer* retry_ = nullptr;
    std::optional<AttemptGuard> retryFor_;
    // A passing failure has been reported and no accept has worked since.
    bool failureReported_ = false;
};

} // namespace ScktComp
