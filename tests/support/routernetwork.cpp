#include "tests/support/routernetwork.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace routertest {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Socket::~Socket()
{
    if (fd_ >= 0)
        ::close(fd_);
}

RouterNetwork::RouterNetwork()
    : script_(qEnvironmentVariable("VELMORA_ROUTER_SCRIPT")),
      name_(qEnvironmentVariable("VELMORA_ROUTER_NAME")),
      stateDir_(qEnvironmentVariable("VELMORA_ROUTER_STATE")),
      externalAddress_(qEnvironmentVariable("VELMORA_ROUTER_EXT_IP")),
      wanAddress_(qEnvironmentVariable("VELMORA_ROUTER_WAN_ADDRESS")),
      wanPeerAddress_(qEnvironmentVariable("VELMORA_ROUTER_WAN_PEER"))
{
}

std::optional<QString> RouterNetwork::output(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput());
}

bool RouterNetwork::setDaemon(const QString& mode) const
{
    return output(script_, {QStringLiteral("daemon"), name_, mode}).has_value();
}

int RouterNetwork::forwardingRules(quint16 externalPort) const
{
    const std::optional<QString> rules = output(QStringLiteral("ip"),
        {QStringLiteral("netns"), QStringLiteral("exec"), name_ + QStringLiteral("-rtr"), QStringLiteral("nft"),
            QStringLiteral("list"), QStringLiteral("chain"), QStringLiteral("inet"), QStringLiteral("nat"),
            QStringLiteral("prerouting_miniupnpd")});
    if (!rules)
        return -1;
    const QRegularExpression rule(QStringLiteral("dport %1 .*dnat").arg(externalPort));
    int count = 0;
    for (auto match = rule.globalMatch(*rules); match.hasNext(); match.next())
        ++count;
    return count;
}

std::int64_t RouterNetwork::leaseEnd(quint16 externalPort) const
{
    // One line per forwarding: PROTOCOL:EXTERNAL PORT:ADDRESS:PORT:END:DESCRIPTION
    QFile leases(stateDir_ + QStringLiteral("/leases"));
    if (!leases.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = "TCP:" + QByteArray::number(externalPort) + ':';
    while (!leases.atEnd()) {
        const QByteArray line = leases.readLine();
        if (line.startsWith(prefix))
            return line.split(':').value(4).toLongLong();
    }
    return 0;
}

int RouterNetwork::logged(const char* text) const
{
    QFile log(stateDir_ + QStringLiteral("/miniupnpd.log"));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(log.readAll().count(text));
}

bool RouterNetwork::blockSearches() const
{
    return output(script_, {QStringLiteral("search"), name_, QStringLiteral("block")}).has_value();
}

bool RouterNetwork::allowSearches() const
{
    return output(script_, {QStringLiteral("search"), name_, QStringLiteral("allow")}).has_value();
}

int RouterNetwork::searchesDropped() const
{
    const std::optional<QString> dropped = output(script_, {QStringLiteral("search"), name_, QStringLiteral("dropped")});
    bool number = false;
    const int count = dropped ? dropped->trimmed().toInt(&number) : -1;
    return number ? count : -1;
}

QStringList RouterNetwork::inWan(const QString& program, const QStringList& arguments) const
{
    return QStringList{QStringLiteral("netns"), QStringLiteral("exec"), name_ + QStringLiteral("-wan"), program}
           + arguments;
}

Socket RouterNetwork::connectFromWan(quint16 port, std::string& error) const
{
    // A socket stays in the network namespace it was made in, so a short-lived
    // thread enters the WAN namespace and makes it there.
    int fd = -1;
    std::thread maker([&] {
        const QByteArray path = "/run/netns/" + name_.toUtf8() + "-wan";
        const int ns = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0)
            error = "cannot enter the WAN namespace: " + std::string(std::strerror(errno));
        else
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (ns >= 0)
            ::close(ns);
    });
    maker.join();
    Socket socket(fd);
    if (!socket.valid())
        return socket;
    // A connect that hangs (a dropped SYN) gives up after this long.
    const timeval patience{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in router{};
    router.sin_family = AF_INET;
    router.sin_port = htons(port);
    ::inet_pton(AF_INET, wanAddress_.toLatin1().constData(), &router.sin_addr);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&router), sizeof router) != 0) {
        error = std::strerror(errno);
        return Socket();
    }
    return socket;
}

} // namespace routertest
