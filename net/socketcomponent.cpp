#include "net/socketcomponent_p.h"

#include "net/socketevents_p.h"

#include <algorithm>
#include <cctype>

namespace ScktComp {

bool sameText(const std::string& a, const std::string& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

int checkedPort(int value)
{
    if (value < 0 || value > 65535)
        raiseFormatted("Port %d is outside the range 0 to 65535", value);
    return value;
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

} // namespace ScktComp
