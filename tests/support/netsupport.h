// Helpers for the connection-layer tests: a bounded event-loop wait, free
// loopback ports and a plain blocking POSIX peer.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include "net/ScktComp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace nettest {

// Runs the event loop until `done` holds or `timeoutMs` has passed; the result of `done`.
// Events are processed before the deadline is looked at, every time: a test
// that was descheduled past its deadline still gets the events that arrived
// meanwhile, and its answer.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer tick;
    tick.start(5);
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        if (deadline.hasExpired())
            return done();
    }
    return true;
}

// A descriptor closed on scope exit.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

inline sockaddr_in loopback(std::uint16_t port, std::uint32_t address = INADDR_LOOPBACK)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    return a;
}

inline std::uint16_t localPort(int fd)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// A listening socket on `address`, port chosen by the system.
inline Fd listenRaw(std::uint16_t& port, std::uint32_t address = INADDR_LOOPBACK)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(0, address);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.get(), 8) != 0)
        return Fd();
    port = localPort(fd.get());
    return fd;
}

// A port that nothing listens on right now (bound once on every address, then released).
inline std::uint16_t freePort()
{
    std::uint16_t port = 0;
    Fd probe = listenRaw(port, INADDR_ANY);
    return port;
}

inline Fd connectRaw(std::uint16_t port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return Fd();
    return fd;
}

// Accepts one connection, running the event loop while waiting (the other side
// may be a component that needs it).
inline Fd acceptRaw(int listener, int timeoutMs = 5000)
{
    Fd accepted;
    waitFor(
        [&] {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1)
                accepted = Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
            return accepted.valid();
        },
        timeoutMs);
    return accepted;
}

inline void sendRaw(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// True when the peer has closed: the next read reports the end of the stream.
inline bool peerClosed(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1)
        return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Waits (running the event loop) until the raw peer sees the end of its stream.
inline bool waitPeerClosed(int fd, int timeoutMs = 5000)
{
    return waitFor([fd] { return peerClosed(fd); }, timeoutMs);
}

// Reads what the raw peer has now, without blocking.
inline std::string readRawNow(int fd, std::size_t limit = 1 << 20)
{
    std::string text(limit, '\0');
    const ssize_t n = ::recv(fd, text.data(), limit, MSG_DONTWAIT);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

// Closes with a reset instead of an orderly end.
inline void resetRaw(Fd& fd)
{
    linger l{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd.reset();
}

// Collects what reaches the application error handler; a test that does not
// expect an error fails when one arrives.
class NetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ScktComp::SetApplicationErrorHandler([this](const std::exception& error) { errors.emplace_back(error.what()); });
    }
    void TearDown() override
    {
        ScktComp::SetApplicationErrorHandler({});
        EXPECT_TRUE(errors.empty()) << "unexpected application error: " << (errors.empty() ? "" : errors.front());
    }
    // Takes the recorded errors, so that TearDown sees them handled.
    std::vector<std::string> takeErrors() { return std::exchange(errors, {}); }

    std::vector<std::string> errors;
};

} // namespace nettest
