#include "net/platformsocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ScktComp::Platform {

namespace {

int lastError()
{
    return errno;
}

sockaddr_in toNative(const SocketAddress& address)
{
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = htons(address.port);
    native.sin_addr.s_addr = htonl(address.address);
    return native;
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

int createStream(Handle& handle)
{
    handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    return handle < 0 ? lastError() : 0;
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
    const sockaddr_in native = toNative(address);
    return ::bind(handle, reinterpret_cast<const sockaddr*>(&native), sizeof native) < 0 ? lastError() : 0;
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
    // Linux would take 0.0.0.0 for the local host; other platforms refuse it.
    if (address.address == 0)
        return EADDRNOTAVAIL;
    const sockaddr_in native = toNative(address);
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0)
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
    sockaddr_in native{};
    socklen_t length = sizeof native;
    if (::getpeername(handle, reinterpret_cast<sockaddr*>(&native), &length) < 0)
        return lastError();
    address.address = ntohl(native.sin_addr.s_addr);
    address.port = ntohs(native.sin_port);
    return 0;
}

std::uint32_t lookupHost(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return 0;
    std::uint32_t address = 0;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
            break;
        }
    }
    ::freeaddrinfo(found);
    return address;
}

bool parseDotted(const std::string& text, std::uint32_t& address)
{
    in_addr native{};
    if (::inet_pton(AF_INET, text.c_str(), &native) != 1)
        return false;
    address = ntohl(native.s_addr);
    return true;
}

std::string formatDotted(std::uint32_t address)
{
    in_addr native{};
    native.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &native, text, sizeof text);
    return text;
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

std::string lookupHostName(std::uint32_t address)
{
    const sockaddr_in native = toNative(SocketAddress{address, 0});
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&native), sizeof native, name, sizeof name, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return {};
    return name;
}

} // namespace ScktComp::Platform
