#pragma once

#include "net/clientwinsocket.h"

#include <QObject>

#include <string>

namespace ScktComp {

// A component that opens one outgoing connection to Host:Port.
//
// Host is a host name or an address text; Address, used when Host is empty,
// an address text only. An address text is dotted IPv4 or IPv6, the latter
// bare or in brackets and with an optional scope after '%' (an interface
// name or index): "::1", "[::1]", "fe80::1%eth0". A name stands for every
// address it resolves to: they are tried IPv6 first (see ConnectRace), and
// the events and errors are those of one attempt, an error coming only when
// every address has failed, with the last failure's code.
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
    // Raises for a value outside 0 to 65535, changing nothing.
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
};

} // namespace ScktComp
