#pragma once

#include "net/socketevents.h"

#include <QObject>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace ScktComp {

class TCustomWinSocketPrivate;

// One operating-system socket and its notifications.
class TCustomWinSocket : public QObject {
public:
    ~TCustomWinSocket() override;

    // Every byte that can be read now; empty when nothing is pending or not connected.
    std::string ReadAvailableText();
    // Sends `text`, queueing what the system does not take at once; the text's
    // length, or 0 when not connected.
    int SendTextOnce(std::string_view text);
    // The peer's address in its usual text: dotted for IPv4 (also for an IPv4
    // peer of a socket that takes both families), the shortest form for IPv6
    // with "%interface" for a scoped one; empty when not connected.
    std::string PeerAddress();
    // The peer's host name by reverse lookup; empty when none is found or not connected.
    std::string PeerHostName();

    // True while the socket is open for use.
    bool Connected() const;
    // The operating-system handle, or -1.
    int SocketHandle() const;
    // Bytes queued for sending and not yet taken by the system.
    std::size_t PendingSendBytes() const;

    // Runs the closing sequence on the current socket.
    void Close();

    // The layer's own state of this object; the type is complete only inside net/.
    TCustomWinSocketPrivate& d_func() const;

protected:
    explicit TCustomWinSocket(QObject* parent);
    TCustomWinSocket(QObject* parent, std::unique_ptr<TCustomWinSocketPrivate> d);

private:
    const std::unique_ptr<TCustomWinSocketPrivate> d_;
};

} // namespace ScktComp
