// Internal to the connection layer: what the two components share.
#pragma once

#include "net/platformsocket.h"
#include "net/socketevents.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ScktComp {

// Texts equal without regard to case.
bool sameText(const std::string& a, const std::string& b);

// The rule of every address property: a value equal to the current one
// changes nothing; any other is refused while the component is active.
template <typename Value, typename Same>
void assignProperty(Value& field, const Value& value, bool active, Same same)
{
    if (same(value, field))
        return;
    if (active)
        throw ESocketError("Can't change value while socket is active");
    field = value;
}

inline void assignProperty(std::string& field, const std::string& value, bool active)
{
    assignProperty(field, value, active, sameText);
}

inline void assignProperty(int& field, int value, bool active)
{
    assignProperty(field, value, active, [](int a, int b) { return a == b; });
}

// `value` when it is a TCP port number; else raises, rather than let the
// number wrap round to some other port.
int checkedPort(int value);

// The port from the component's properties: the service's when one is named
// (0 for an unknown one), else `port`.
std::uint16_t resolvePort(int port, const std::string& service);

// The addresses to connect to, from the client's properties, in the order of
// trying (see ConnectRace::interleaved). `host` is a name or an address text,
// `address` only an address text (see Platform::parseAddress). A host or
// address that gives none comes back as 0.0.0.0, which the connect refuses.
// Raises "No address specified" without host or address, and "Unknown
// network interface in the address '%s'" for an IPv6 scope that names no
// interface of this machine.
std::vector<Platform::SocketAddress> resolveAddresses(const std::string& host, const std::string& address, int port,
                                                      const std::string& service);

} // namespace ScktComp
