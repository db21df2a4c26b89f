#include "tests/support/apptestsupport.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/ioctl.h>
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
    return nettest::waitFor(done, static_cast<int>(timeout.count()));
}

void drainEvents()
{
    for (int round = 0; round < 2; ++round) {
        bool through = false;
        const QObject marker;
        QTimer::singleShot(0, &marker, [&through] { through = true; });
        waitUntil([&through] { return through; });
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

namespace {

void makeNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

int freePort()
{
    return nettest::freePort();
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
    const sockaddr_in address = nettest::loopback(static_cast<std::uint16_t>(port));
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

std::size_t RawEnd::unread() const
{
    int count = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &count) != 0)
        return 0;
    return static_cast<std::size_t>(count);
}

bool RawEnd::waitClosed(std::chrono::milliseconds timeout)
{
    return waitUntil([this] { return !pump(); }, timeout);
}

RawListener::RawListener()
{
    std::uint16_t port = 0;
    listener_ = nettest::listenRaw(port);
    if (!listener_.valid())
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = port;
    makeNonBlocking(listener_.get());
}


RawEnd RawListener::accept(std::chrono::milliseconds timeout)
{
    int accepted = -1;
    waitUntil(
        [&] {
            accepted = ::accept(listener_.get(), nullptr, nullptr);
            return accepted >= 0;
        },
        timeout);
    if (accepted >= 0)
        makeNonBlocking(accepted);
    return RawEnd(accepted);
}
