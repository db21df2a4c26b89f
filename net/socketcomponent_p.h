// Internal to the connection layer: what the two components share.
#pragma once

#include "net/platformsocket.h"
#include "net/socketevents.h"

#include <string>

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

// The address to connect to (`client`) or to listen on, from the component's
// properties; raises "No address specified" for a client without host or address.
Platform::SocketAddress resolveAddress(const std::string& host, const std::string& address, int port,
                                       const std::string& service, bool client);

} // namespace ScktComp
