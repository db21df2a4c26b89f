#include "apptestsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

std::optional<QString> FakeDialogs::promptText(QWidget*, const QString& caption, const QString& prompt,
                                               const QString& initialText)
{
    promptCaptions << caption;
    promptLabels << prompt;
    promptInitialTexts << initialText;
    if (answers.empty())
        return std::nullopt;
    const bool confirmed = answers.front().has_value();
    const QString text = answers.front().value_or(QString());
    answers.pop_front();
    if (!confirmed)
        return std::nullopt;
    return text;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

void settle(std::chrono::milliseconds period)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < period.count())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
}

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundSocket(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    const sockaddr_in address = loopback(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("bind() failed");
    }
    return fd;
}

int portOf(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void makeNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

int freePort()
{
    const int fd = boundSocket(0);
    const int port = portOf(fd);
    ::close(fd);
    return port;
}

RawEnd& RawEnd::operator=(RawEnd&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
        received_ = std::move(other.received_);
        closed_ = other.closed_;
    }
    return *this;
}

RawEnd::~RawEnd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

RawEnd RawEnd::connectTo(int port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    makeNonBlocking(fd);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return RawEnd();
    }
    return RawEnd(fd);
}

void RawEnd::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("send() failed");
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

void RawEnd::reset()
{
    if (fd_ < 0)
        return;
    const linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd_);
    fd_ = -1;
}

bool RawEnd::pump()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            closed_ = true;
        return !closed_;
    }
}

bool RawEnd::waitClosed(std::chrono::milliseconds timeout)
{
    return waitUntil([this] { return !pump(); }, timeout);
}

RawListener::RawListener()
{
    fd_ = boundSocket(0);
    port_ = portOf(fd_);
    ::listen(fd_, 5);
    makeNonBlocking(fd_);
}

RawListener::~RawListener()
{
    ::close(fd_);
}

RawEnd RawListener::accept(std::chrono::milliseconds timeout)
{
    int accepted = -1;
    waitUntil(
        [&] {
            accepted = ::accept(fd_, nullptr, nullptr);
            return accepted >= 0;
        },
        timeout);
    if (accepted >= 0)
        makeNonBlocking(accepted);
    return RawEnd(accepted);
}
