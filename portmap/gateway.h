// The router seen through one port-mapping protocol.
#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>

// What the router granted: where the other side connects, and for how long.
struct Forwarding {
    QString externalAddress;
    quint16 externalPort = 0;
    std::chrono::seconds lease{0};
};

// Every call blocks until the router answers or a bounded time has passed, so
// a gateway is used on a worker thread only. Failures raise MappingError.
class Gateway {
public:
    virtual ~Gateway() = default;
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // "UPnP-IGD" or "NAT-PMP", as the user is told.
    virtual QString protocol() const = 0;
    // Asks for TCP `externalPort` on the router's external address to reach
    // `internalPort` on this machine for `lease`. Asking again for the same
    // ports renews the forwarding. The router may grant another port or lease.
    virtual Forwarding forward(quint16 internalPort, quint16 externalPort, std::chrono::seconds lease) = 0;
    // Ends the forwarding that forward() made; one already gone is no error.
    virtual void removeForwarding(quint16 internalPort, quint16 externalPort) = 0;

protected:
    Gateway() = default;
};
