#include "net/socketcomponent_p.h"

#include "net/connectrace_p.h"
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

std::uint16_t resolvePort(int port, const std::string& service)
{
    return service.empty() ? static_cast<std::uint16_t>(port) : Platform::lookupService(service);
}

std::vector<Platform::SocketAddress> resolveAddresses(const std::string& host, const std::string& address, int port,
                                                      const std::string& service)
{
    const std::string& text = host.empty() ? address : host;
    if (text.empty())
        throw ESocketError("No address specified");
    std::vector<Platform::SocketAddress> found;
    Platform::SocketAddress literal;
    switch (Platform::parseAddress(text, literal)) {
    case Platform::ParseResult::Parsed:
        found.push_back(literal);
        break;
    case Platform::ParseResult::UnknownInterface:
        throw ESocketError("Unknown network interface in the address '" + text + "'");
    case Platform::ParseResult::NotAnAddress:
        // Only the host may be a name; it also takes the address forms that
        // the resolver knows beyond the plain ones, as "127.1".
        if (!host.empty())
            found = Platform::lookupHost(host);
        break;
    }
    if (found.empty())
        found.push_back(Platform::anyAddress(Platform::Family::IPv4, 0));
    found = ConnectRace::interleaved(found);
    const std::uint16_t resolvedPort = resolvePort(port, service);
    for (Platform::SocketAddress& each : found)
        each.port = resolvedPort;
    return found;
}

} // namespace ScktComp
