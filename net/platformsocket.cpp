#include "net/platformsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

namespace ScktComp::Platform {

namespace {

int lastError()
{
    return errno;
}

// An address in the system's form, for any call that takes a sockaddr.
class NativeAddress {
public:
    explicit NativeAddress(const SocketAddress& address)
    {
        if (address.family == Family::IPv4) {
            auto& v4 = reinterpret_cast<sockaddr_in&>(storage_);
            v4.sin_family = AF_INET;
            v4.sin_port = htons(address.port);
            v4.sin_addr.s_addr = htonl(address.address);
            length_ = sizeof v4;
        } else {
            auto& v6 = reinterpret_cast<sockaddr_in6&>(storage_);
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(address.port);
            std::memcpy(&v6.sin6_addr, address.address6.data(), address.address6.size());
            v6.sin6_scope_id = address.scope;
            length_ = sizeof v6;
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t length() const { return length_; }

private:
    sockaddr_storage storage_{};
    socklen_t length_ = 0;
};

SocketAddress fromIPv4(const in_addr& native, std::uint16_t port)
{
    SocketAddress address;
    address.address = ntohl(native.s_addr);
    address.port = port;
    return address;
}

// An IPv6 address; an IPv4 address mapped into IPv6 comes back as IPv4.
SocketAddress fromIPv6(const in6_addr& native, std::uint32_t scope, std::uint16_t port)
{
    if (IN6_IS_ADDR_V4MAPPED(&native)) {
        in_addr v4{};
        std::memcpy(&v4.s_addr, native.s6_addr + 12, sizeof v4.s_addr);
        return fromIPv4(v4, port);
    }
    SocketAddress address;
    address.family = Family::IPv6;
    std::memcpy(address.address6.data(), native.s6_addr, address.address6.size());
    address.scope = scope;
    address.port = port;
    return address;
}

// The address in a sockaddr the system filled; false for another family.
bool fromNative(const sockaddr* native, SocketAddress& address)
{
    if (native->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(native);
        address = fromIPv4(v4->sin_addr, ntohs(v4->sin_port));
        return true;
    }
    if (native->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(native);
        address = fromIPv6(v6->sin6_addr, v6->sin6_scope_id, ntohs(v6->sin6_port));
        return true;
    }
    return false;
}

bool isWildcard(const SocketAddress& address)
{
    if (address.family == Family::IPv4)
        return address.address == 0;
    return std::all_of(address.address6.begin(), address.address6.end(), [](std::uint8_t byte) { return byte == 0; });
}

// The interface index that a scope text names: an interface name, or the
// number of an interface that exists; 0 when it names none.
std::uint32_t interfaceIndex(const std::string& scope)
{
    if (scope.empty())
        return 0;
    if (const unsigned index = ::if_nametoindex(scope.c_str()))
        return index;
    if (scope.size() > 9 || !std::all_of(scope.begin(), scope.end(), [](unsigned char c) { return std::isdigit(c); }))
        return 0;
    const auto index = static_cast<unsigned>(std::stoul(scope));
    char name[IF_NAMESIZE] = {};
    return index != 0 && ::if_indextoname(index, name) ? index : 0;
}

// Runs `call` until it is not interrupted; 0 or the error code.
template <typename Call>
int retrying(Call call)
{
    for (;;) {
        if (call() >= 0)
            return 0;
        const int code = lastError();
        if (code != EINTR)
            return code;
    }
}

} // namespace

bool isWouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS;
}

std::string errorText(int code)
{
    char buffer[256] = {};
    // The GNU variant may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

SocketAddress anyAddress(Family family, std::uint16_t port)
{
    SocketAddress address;
    address.family = family;
    address.port = port;
    return address;
}

int createStream(Handle& handle, Family family)
{
    handle = ::socket(family == Family::IPv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      IPPROTO_TCP);
    return handle < 0 ? lastError() : 0;
}

int createDualStack(Handle& handle)
{
    if (const int code = createStream(handle, Family::IPv6))
        return code;
    const int off = 0;
    if (::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0)
        return 0;
    const int code = lastError();
    closeSocket(std::exchange(handle, kNoSocket));
    return code;
}

int replaceSocket(Handle target, Handle source)
{
    const int code = retrying([&] { return ::dup3(source, target, O_CLOEXEC); });
    closeSocket(source);
    return code;
}

int closeSocket(Handle handle)
{
    // Linux releases the descriptor even when close is interrupted, so no retry.
    if (::close(handle) == 0)
        return 0;
    const int code = lastError();
    return code == EINTR ? 0 : code;
}

int enableAddressReuse(Handle handle)
{
    const int on = 1;
    return ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ? lastError() : 0;
}

int bindTo(Handle handle, const SocketAddress& address)
{
    const NativeAddress native(address);
    return ::bind(handle, native.get(), native.length()) < 0 ? lastError() : 0;
}

int listenOn(Handle handle, int backlog)
{
    return ::listen(handle, backlog) < 0 ? lastError() : 0;
}

int acceptOne(Handle handle, Handle& accepted)
{
    return retrying([&] {
        accepted = ::accept4(handle, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        return accepted;
    });
}

bool isPassingAcceptFailure(int code)
{
    switch (code) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    // Linux hands on network errors already pending on the new connection.
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

int startConnect(Handle handle, const SocketAddress& address, int& outcome)
{
    outcome = 0;
    // Linux would take 0.0.0.0 and :: for the local host; other platforms refuse them.
    if (isWildcard(address))
        return EADDRNOTAVAIL;
    const NativeAddress native(address);
    if (::connect(handle, native.get(), native.length()) == 0)
        return 0;
    const int code = lastError();
    switch (code) {
    case EINPROGRESS:
    case EINTR: // an interrupted non-blocking connect goes on in the background
    case EAGAIN:
        return 0;
    case ECONNREFUSED:
    case ECONNRESET:
    case ETIMEDOUT:
    case EHOSTUNREACH:
        outcome = code;
        return 0;
    default:
        return code;
    }
}

int pendingError(Handle handle, int& code)
{
    socklen_t length = sizeof code;
    code = 0;
    return ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &code, &length) < 0 ? lastError() : 0;
}

int sendSome(Handle handle, const char* data, std::size_t length, std::size_t& sent)
{
    sent = 0;
    return retrying([&] {
        const ssize_t result = ::send(handle, data, length, MSG_NOSIGNAL);
        if (result >= 0)
            sent = static_cast<std::size_t>(result);
        return result;
    });
}

int receiveSome(Handle handle, char* data, std::size_t length, std::size_t& received)
{
    received = 0;
    return retrying([&] {
        const ssize_t result = ::recv(handle, data, length, 0);
        if (result >= 0)
            received = static_cast<std::size_t>(result);
        return result;
    });
}

int peekByte(Handle handle, std::size_t& available)
{
    char byte = 0;
    available = 0;
    return retrying([&] {
        const ssize_t result = ::recv(handle, &byte, 1, MSG_PEEK);
        if (result >= 0)
            available = static_cast<std::size_t>(result);
        return result;
    });
}

int bytesReadable(Handle handle, std::size_t& count)
{
    int pending = 0;
    count = 0;
    if (::ioctl(handle, FIONREAD, &pending) < 0)
        return lastError();
    count = pending > 0 ? static_cast<std::size_t>(pending) : 0;
    return 0;
}

int peerAddress(Handle handle, SocketAddress& address)
{
    sockaddr_storage native{};
    socklen_t length = sizeof native;
    if (::getpeername(handle, reinterpret_cast<sockaddr*>(&native), &length) < 0)
        return lastError();
    return fromNative(reinterpret_cast<const sockaddr*>(&native), address) ? 0 : EAFNOSUPPORT;
}

std::vector<SocketAddress> lookupHost(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return {};
    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        SocketAddress address;
        if (entry->ai_addr && fromNative(entry->ai_addr, address))
            addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    return addresses;
}

ParseResult parseAddress(const std::string& text, SocketAddress& address)
{
    const bool bracketed = text.size() >= 2 && text.front() == '[' && text.back() == ']';
    std::string body = bracketed ? text.substr(1, text.size() - 2) : text;
    if (!bracketed) {
        in_addr v4{};
        if (::inet_pton(AF_INET, body.c_str(), &v4) == 1) {
            address = fromIPv4(v4, 0);
            return ParseResult::Parsed;
        }
    }
    const std::size_t percent = body.find('%');
    const bool scoped = percent != std::string::npos;
    const std::string scope = scoped ? body.substr(percent + 1) : std::string();
    if (scoped)
        body.resize(percent);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, body.c_str(), &v6) != 1 || (scoped && scope.empty()))
        return ParseResult::NotAnAddress;
    const std::uint32_t index = scoped ? interfaceIndex(scope) : 0;
    if (scoped && index == 0)
        return ParseResult::UnknownInterface;
    address = fromIPv6(v6, index, 0);
    return ParseResult::Parsed;
}

std::string formatAddress(const SocketAddress& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.family == Family::IPv4) {
        in_addr native{};
        native.s_addr = htonl(address.address);
        ::inet_ntop(AF_INET, &native, text, sizeof text);
        return text;
    }
    in6_addr native{};
    std::memcpy(native.s6_addr, address.address6.data(), address.address6.size());
    ::inet_ntop(AF_INET6, &native, text, sizeof text);
    std::string result = text;
    if (address.scope != 0) {
        char name[IF_NAMESIZE] = {};
        result += '%';
        result += ::if_indextoname(address.scope, name) ? std::string(name) : std::to_string(address.scope);
    }
    return result;
}

std::uint16_t lookupService(const std::string& service)
{
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (::getservbyname_r(service.c_str(), "tcp", &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return 0;
    return ntohs(static_cast<std::uint16_t>(found->s_port));
}

std::string lookupHostName(const SocketAddress& address)
{
    const NativeAddress native(address);
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(native.get(), native.length(), name, sizeof name, nullptr, 0, NI_NAMEREQD) != 0)
        return {};
    return name;
}

} // namespace ScktComp::Platform
