// Helpers of the connection-layer tests beyond tests/support/netsupport.h:
// raw IPv6 peers on ::1, and waits for conditions that show the program got
// far enough for a check that something did not happen.
#pragma once

#include "tests/support/netsupport.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>

namespace nettest {

inline sockaddr_in6 loopback6(std::uint16_t port)
{
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    return a;
}

// The local port of a socket of either family.
inline std::uint16_t localPortOf(int fd)
{
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return 0;
    return a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

// A listening socket on ::1 alone; on `port`, or one the system picks when it is 0.
inline Fd listenRaw6(std::uint16_t& port, int backlog = 8)
{
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    sockaddr_in6 a = loopback6(port);
    if (!fd.valid() || ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.get(), backlog) != 0)
        return Fd();
    port = localPortOf(fd.get());
    return fd;
}

// A blocking connection to [::1]:port; invalid when refused.
inline Fd connectRaw6(std::uint16_t port)
{
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 a = loopback6(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return Fd();
    return fd;
}

// True where the machine has the IPv6 loopback address to test on.
inline bool hasIPv6Loopback()
{
    std::uint16_t port = 0;
    return listenRaw6(port).valid();
}

// Runs the event loop until the work queued before this call has run, then
// lets it look at every socket once more: whatever the system had already
// made due (a notification, a deferred release, a queued report) has then
// been delivered. A test that shows something did not happen calls this once
// the condition that would have caused it holds.
inline bool drainPending()
{
    bool reached = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&reached] { reached = true; }, Qt::QueuedConnection);
    const bool drained = waitFor([&reached] { return reached; });
    QCoreApplication::processEvents();
    return drained;
}

// Runs the event loop until at least `count` bytes wait unread on `fd`.
inline bool waitUnread(int fd, std::size_t count)
{
    return waitFor([fd, count] {
        int pending = 0;
        return ::ioctl(fd, FIONREAD, &pending) == 0 && pending >= 0 && static_cast<std::size_t>(pending) >= count;
    });
}

} // namespace nettest
