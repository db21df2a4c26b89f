// PortMapper against miniupnpd playing the home router between a LAN and a WAN
// namespace (scripts/netns-router.sh runs this binary in the LAN namespace).
#include "portmap/portmapper.h"
#include "tests/support/routernetwork.h"
#include "tests/support/testprogram.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using routertest::RouterNetwork;
using routertest::Socket;
using routertest::waitUntil;

// The longest a start() may take to be answered: NAT-PMP's wait, the UPnP
// search and its requests, with room for a loaded machine.
constexpr auto AnswerDeadline = 8s;

// What a mapper announced, in order.
struct Announcements {
    explicit Announcements(PortMapper& mapper)
    {
        QObject::connect(&mapper, &PortMapper::mapped, &context, [this](const QString& a, quint16 p, const QString& proto) {
            kinds.emplace_back("mapped");
            address = a;
            port = p;
            protocol = proto;
        });
        QObject::connect(&mapper, &PortMapper::failed, &context, [this](const QString& why) {
            kinds.emplace_back("failed");
            reason = why;
        });
        QObject::connect(&mapper, &PortMapper::removed, &context, [this] { kinds.emplace_back("removed"); });
    }

    int count(const std::string& kind) const { return static_cast<int>(std::count(kinds.begin(), kinds.end(), kind)); }

    // Ends the connections with this object, whichever of the two goes first.
    QObject context;
    std::vector<std::string> kinds;
    QString address;
    quint16 port = 0;
    QString protocol;
    QString reason;
};

// A TCP listener on every LAN address, at a port the system picks.
class Listener {
public:
    Listener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 && ::listen(socket_.get(), 4) == 0) {
            socklen_t length = sizeof any;
            ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&any), &length);
            port_ = ntohs(any.sin_port);
        }
    }

    quint16 port() const { return port_; }

    // Accepts one connection and sends back what it reads first; the peer's address.
    std::string echoOnce() const
    {
        pollfd waiting{socket_.get(), POLLIN, 0};
        if (::poll(&waiting, 1, 5000) != 1)
            return "(nothing to accept)";
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const Socket connection(::accept4(socket_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        pollfd readable{connection.get(), POLLIN, 0};
        char buffer[256];
        if (::poll(&readable, 1, 5000) != 1)
            return "(nothing to read)";
        const ssize_t got = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (got <= 0 || ::send(connection.get(), buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got)
            return "(no echo)";
        char address[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        return address;
    }

private:
    Socket socket_;
    quint16 port_ = 0;
};

// Threads of this process, the test's own and Qt's.
int threadCount()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!network.available())
            GTEST_SKIP() << "needs the namespaced router: run through scripts/netns-router.sh run (ctest -L router)";
        ASSERT_NE(listener.port(), 0);
    }

    bool startDaemon(const char* mode) { return network.setDaemon(QString::fromLatin1(mode)); }

    // A peer in the WAN namespace connects to the router's WAN address at
    // `externalPort` and gets its message back from the listener.
    ::testing::AssertionResult peerReachesListener(quint16 externalPort) const
    {
        std::string error;
        const Socket peer = network.connectFromWan(externalPort, error);
        if (!peer.valid())
            return ::testing::AssertionFailure() << "the WAN peer could not connect: " << error;
        const std::string message = "hello through the router";
        if (::send(peer.get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size()))
            return ::testing::AssertionFailure() << "the WAN peer could not send";
        const std::string from = listener.echoOnce();
        if (from != network.wanPeerAddress().toStdString())
            return ::testing::AssertionFailure() << "the listener's side: " << from;
        std::string echoed(message.size(), '\0');
        if (::recv(peer.get(), echoed.data(), echoed.size(), MSG_WAITALL) != static_cast<ssize_t>(echoed.size())
            || echoed != message)
            return ::testing::AssertionFailure() << "the WAN peer got no echo";
        return ::testing::AssertionSuccess();
    }

    // The router no longer forwards `externalPort`: no rule, and a WAN connect is refused.
    ::testing::AssertionResult nothingForwarded(quint16 externalPort) const
    {
        const int rules = network.forwardingRules(externalPort);
        if (rules != 0)
            return ::testing::AssertionFailure() << rules << " forwarding rule(s) left for port " << externalPort;
        std::string error;
        if (network.connectFromWan(externalPort, error).valid())
            return ::testing::AssertionFailure() << "the WAN peer still connects to port " << externalPort;
        return ::testing::AssertionSuccess();
    }

    RouterNetwork network;
    Listener listener;
};

// Tests run against each of several daemon modes.
class MappingTest : public RouterTest, public ::testing::WithParamInterface<const char*> {};

std::string routerMode(const ::testing::TestParamInfo<const char*>& info)
{
    return info.param;
}

// The behaviour the front ends rely on, for each protocol the router may speak.
TEST_P(MappingTest, MapsReachablyUntilStopped)
{
    ASSERT_TRUE(startDaemon(GetParam()));
    PortMapper mapper;
    const Announcements heard(mapper);
    QElapsedTimer clock;
    clock.start();
    mapper.start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return !heard.kinds.empty(); }, 3s)) << "no answer within 3 s";
    ASSERT_EQ(heard.kinds, std::vector<std::string>{"mapped"}) << heard.reason.toStdString();
    std::cout << "[ measured ] " << GetParam() << " router: mapped by " << heard.protocol.toStdString() << " after "
              << clock.elapsed() << " ms\n";
    EXPECT_EQ(heard.address, network.externalAddress());
    EXPECT_EQ(heard.protocol, QString::fromLatin1(GetParam() == std::string(RouterNetwork::UpnpOnly) ? "UPnP-IGD" : "NAT-PMP"));
    EXPECT_EQ(network.forwardingRules(heard.port), 1);
    EXPECT_TRUE(peerReachesListener(heard.port));

    mapper.stop();
    EXPECT_FALSE(mapper.isActive());
    ASSERT_TRUE(waitUntil([&] { return heard.count("removed") == 1; }, AnswerDeadline));
    EXPECT_TRUE(nothingForwarded(heard.port));
    EXPECT_EQ(heard.kinds, (std::vector<std::string>{"mapped", "removed"}));
}

INSTANTIATE_TEST_SUITE_P(Router, MappingTest,
    ::testing::Values(RouterNetwork::Both, RouterNetwork::UpnpOnly, RouterNetwork::NatPmpOnly),
    routerMode);

// Quitting the program removes the forwarding before the mapper is gone.
TEST_F(RouterTest, DestructionRemovesTheForwarding)
{
    ASSERT_TRUE(startDaemon(RouterNetwork::Both));
    auto mapper = std::make_unique<PortMapper>();
    const Announcements heard(*mapper);
    mapper->start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return !heard.kinds.empty(); }, AnswerDeadline));
    ASSERT_EQ(heard.count("mapped"), 1) << heard.reason.toStdString();
    ASSERT_EQ(network.forwardingRules(heard.port), 1);

    QElapsedTimer clock;
    clock.start();
    mapper.reset();
    EXPECT_LE(clock.elapsed(), PortMapper::ExitWait.count());
    EXPECT_TRUE(nothingForwarded(heard.port));
}

// A mapper destroyed while its worker is busy returns within its bound; the
// worker, left to finish on its own, touches nothing of it and asks the router
// for nothing. The router drops the first search, so the worker is still in the
// second one, two seconds long, when the mapper is gone.
TEST_F(RouterTest, DestructionDuringTheSearchIsBoundedAndLeavesNothing)
{
    ASSERT_TRUE(startDaemon(RouterNetwork::UpnpOnly));
    ASSERT_TRUE(network.blockSearches());
    const int threadsBefore = threadCount();
    auto mapper = std::make_unique<PortMapper>();
    const Announcements heard(*mapper);
    mapper->start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return network.searchesDropped() > 0; }, AnswerDeadline));
    ASSERT_TRUE(network.allowSearches());
    const int searchesBefore = network.logged("SSDP M-SEARCH from");

    QElapsedTimer clock;
    clock.start();
    mapper.reset();
    EXPECT_LE(clock.elapsed(), PortMapper::ExitWait.count() + 250);
    ASSERT_TRUE(waitUntil([&] { return threadCount() <= threadsBefore; }, AnswerDeadline)) << "the worker did not end";
    EXPECT_GT(network.logged("SSDP M-SEARCH from"), searchesBefore) << "the worker's second search did not reach the router";
    EXPECT_EQ(network.logged("#AddPortMapping"), 0) << "a forwarding was asked for after the mapper was gone";
    EXPECT_TRUE(heard.kinds.empty());
    EXPECT_TRUE(nothingForwarded(listener.port()));
}

// No router: one quiet failure, and nothing after it. Starting again once a
// router answers proves that the first attempt had nothing more to say.
TEST_F(RouterTest, NoRouterFailsOnce)
{
    ASSERT_TRUE(startDaemon(RouterNetwork::NoDaemon));
    PortMapper mapper;
    const Announcements heard(mapper);
    mapper.start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return !heard.kinds.empty(); }, AnswerDeadline));
    EXPECT_EQ(heard.kinds, std::vector<std::string>{"failed"});
    EXPECT_TRUE(heard.reason.startsWith(QStringLiteral("No router"))) << heard.reason.toStdString();
    EXPECT_FALSE(mapper.isActive());

    ASSERT_TRUE(startDaemon(RouterNetwork::Both));
    mapper.start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return heard.count("mapped") == 1; }, AnswerDeadline));
    EXPECT_EQ(heard.kinds, (std::vector<std::string>{"failed", "mapped"}));
}

// A router that answers and refuses: one failure that says so.
TEST_F(RouterTest, RefusalFailsOnceWithTheReason)
{
    ASSERT_TRUE(startDaemon(RouterNetwork::DenyAll));
    PortMapper mapper;
    const Announcements heard(mapper);
    mapper.start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return !heard.kinds.empty(); }, AnswerDeadline));
    EXPECT_EQ(heard.kinds, std::vector<std::string>{"failed"});
    EXPECT_TRUE(heard.reason.startsWith(QStringLiteral("The router refused to forward port %1").arg(listener.port())))
        << heard.reason.toStdString();
    EXPECT_EQ(network.forwardingRules(listener.port()), 0);
}

class LeaseTest : public MappingTest {};

// The lease is renewed before it ends, and the forwarding outlives it.
TEST_P(LeaseTest, RenewsTheLease)
{
    ASSERT_TRUE(startDaemon(GetParam()));
    PortMapper mapper;
    mapper.setLease(4s);
    const Announcements heard(mapper);
    mapper.start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return !heard.kinds.empty(); }, AnswerDeadline));
    ASSERT_EQ(heard.count("mapped"), 1) << heard.reason.toStdString();
    const std::int64_t firstEnd = network.leaseEnd(heard.port);
    ASSERT_GT(firstEnd, 0);

    ASSERT_TRUE(waitUntil([&] { return network.leaseEnd(heard.port) > firstEnd; }, 6s)) << "no renewal";
    ASSERT_TRUE(waitUntil([&] { return QDateTime::currentSecsSinceEpoch() > firstEnd + 1; }, 6s));
    EXPECT_TRUE(peerReachesListener(heard.port));
    EXPECT_EQ(heard.kinds, std::vector<std::string>{"mapped"});
}

INSTANTIATE_TEST_SUITE_P(Router, LeaseTest, ::testing::Values(RouterNetwork::UpnpOnly, RouterNetwork::NatPmpOnly),
    routerMode);

// A router that stops answering: the lease cannot be renewed, and the mapper
// says once that the forwarding is lost.
TEST_F(RouterTest, LostRenewalFailsOnce)
{
    ASSERT_TRUE(startDaemon(RouterNetwork::Both));
    PortMapper mapper;
    mapper.setLease(4s);
    const Announcements heard(mapper);
    mapper.start(listener.port());
    ASSERT_TRUE(waitUntil([&] { return !heard.kinds.empty(); }, AnswerDeadline));
    ASSERT_EQ(heard.count("mapped"), 1) << heard.reason.toStdString();

    ASSERT_TRUE(startDaemon(RouterNetwork::NoDaemon));
    ASSERT_TRUE(waitUntil([&] { return heard.kinds.size() > 1; }, AnswerDeadline));
    EXPECT_EQ(heard.kinds, (std::vector<std::string>{"mapped", "failed"}));
    EXPECT_TRUE(heard.reason.startsWith(QStringLiteral("The router stopped forwarding port %1").arg(listener.port())))
        << heard.reason.toStdString();
    EXPECT_FALSE(mapper.isActive());
}

// The terminal program behind the router: listening, it has the port
// forwarded and says where peers on the internet connect; a peer on the WAN
// side chats through that address; when the program ends, so does the forwarding.
TEST_F(RouterTest, TheProgramMapsItsPortAndAPeerOnTheInternetChats)
{
    ASSERT_TRUE(startDaemon(RouterNetwork::Both));
    const QString port = QString::number(Listener().port());
    QElapsedTimer clock;
    clock.start();
    TestProgram lan(QStringLiteral(VELMORA_TERM), {"--listen", "--port", port},
                    QProcessEnvironment::systemEnvironment(), TestProgram::PortMapping::Asked);
    const QRegularExpression mappedLine(QStringLiteral("Port mapped: peers on the internet connect to ([^\\s]+):(\\d+) \\((.+)\\)\n"));
    QRegularExpressionMatch mapped;
    ASSERT_TRUE(TestProgram::waitUntil([&] {
        mapped = mappedLine.match(QString::fromUtf8(lan.err()));
        return mapped.hasMatch();
    })) << lan.err().toStdString();
    std::cout << "[ measured ] the program's forwarding announced " << clock.elapsed() << " ms after its start\n";
    EXPECT_EQ(mapped.captured(1), network.externalAddress());
    EXPECT_EQ(mapped.captured(3), "NAT-PMP") << "NAT-PMP is asked first";
    const QString externalPort = mapped.captured(2);
    EXPECT_EQ(network.forwardingRules(externalPort.toUShort()), 1);
    EXPECT_EQ(lan.err().count("Port mapped"), 1);

    // The peer connects to the router's WAN address, which the forwarding rules match.
    TestProgram wan(QStringLiteral("ip"),
                    network.inWan(QStringLiteral(VELMORA_TERM),
                                  {"--connect", network.wanAddress(), "--port", externalPort}));
    lan.type({"from the LAN"});
    wan.type({"from the internet"});
    ASSERT_TRUE(TestProgram::waitUntil([&] { return lan.out() == "from the internet\n"; }))
        << lan.err().toStdString() << wan.err().toStdString();
    ASSERT_TRUE(TestProgram::waitUntil([&] { return wan.out() == "from the LAN\n"; })) << wan.err().toStdString();
    EXPECT_TRUE(lan.err().contains("Connected to: " + network.wanPeerAddress().toUtf8())) << lan.err().toStdString();

    // The peer leaves; the program ends with it and takes the forwarding along.
    wan.endInput();
    EXPECT_EQ(wan.waitExit(), 0) << wan.err().toStdString();
    EXPECT_EQ(lan.waitExit(), 0) << lan.err().toStdString();
    EXPECT_TRUE(nothingForwarded(externalPort.toUShort()));
    EXPECT_EQ(network.leaseEnd(externalPort.toUShort()), 0);
    EXPECT_FALSE(lan.err().contains("No port mapping")) << lan.err().toStdString();
}

} // namespace

int main(int argc, char** argv)
{
    // A send to a closed connection fails with EPIPE rather than ending the run.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
