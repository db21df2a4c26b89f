// A host name with addresses of both families, in a private network namespace
// with its own hosts file: the connecting component tries them all, IPv6
// first, and the listening one looks up names for peers of both families.
#include "tests/net/localsupport.h"
#include "tests/support/privatenetwork.h"

#include "net/connectrace_p.h"
#include "net/platformsocket.h"

#include <QElapsedTimer>

#include <netinet/tcp.h>

#include <cerrno>

using namespace ScktComp;
using namespace nettest;

namespace {

// Inside, each name has an IPv6 address and the IPv4 loopback, where the
// test listens. The resolver is told to prefer IPv4, so that it gives the
// IPv4 address first: IPv6 first is then the component's own order.
// fd00:dead::/64 is routed as unreachable: a connect there fails at once
// with "host unreachable". fd00:beef::/64 has no route at all: the connect
// call itself fails with "network unreachable".
const PrivateNetwork kNetwork{{{"/etc/hosts", "127.0.0.1 localhost\n"
                                              "::1 both.velmora.test\n"
                                              "127.0.0.1 both.velmora.test\n"
                                              "fd00:dead::1 unreachable.velmora.test\n"
                                              "127.0.0.1 unreachable.velmora.test\n"
                                              "fd00:beef::1 noroute.velmora.test\n"
                                              "127.0.0.1 noroute.velmora.test\n"},
                               {"/etc/gai.conf", "precedence ::ffff:0:0/96 100\n"}},
                              {"fd00:dead::/64"}};

#define ENTER_PRIVATE_NETWORK()                                                                                        \
    do {                                                                                                               \
        std::string why;                                                                                               \
        const NetworkRun run = runInPrivateNetwork(kNetwork, why);                                                     \
        if (run == NetworkRun::Skipped)                                                                                \
            GTEST_SKIP() << why;                                                                                       \
        if (run == NetworkRun::Done)                                                                                   \
            return;                                                                                                    \
    } while (false)

// True when the accept queue of `listener` is full: the system then drops
// every new connection request to it, so that an attempt there neither
// connects nor fails. For a listening socket, TCP_INFO gives the queue's
// length as tcpi_unacked and its backlog as tcpi_sacked; Linux counts it
// full once the length exceeds the backlog.
bool acceptQueueFull(int listener)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_unacked > info.tcpi_sacked;
}

// Fills the accept queue of `listener` on ::1, which never accepts, with
// connections kept in `fillers`.
bool makeSilent(int listener, std::uint16_t port, std::vector<Fd>& fillers)
{
    for (int i = 0; i < 16; ++i) {
        Fd filler = connectRaw6(port);
        if (!filler.valid())
            return false;
        fillers.push_back(std::move(filler));
        // The queue takes a connection once the handshake's last packet is in.
        if (waitFor([listener] { return acceptQueueFull(listener); }, 1000))
            return true;
    }
    return false;
}

enum class DeadIPv6 {
    Refused,     // nothing listens there: the attempt ends with "connection refused"
    Silent,      // the attempt stays unanswered: the IPv4 one starts after the delay
    Unreachable, // the attempt ends at once with "host unreachable"
    NoRoute,     // the connect call fails at once
};

std::string deadName(DeadIPv6 kind)
{
    switch (kind) {
    case DeadIPv6::Refused:
        return "Refused";
    case DeadIPv6::Silent:
        return "Silent";
    case DeadIPv6::Unreachable:
        return "Unreachable";
    case DeadIPv6::NoRoute:
        break;
    }
    return "NoRoute";
}

class FallbackTest : public NetTest, public ::testing::WithParamInterface<DeadIPv6> {};

TEST_P(FallbackTest, HostNameFallsBackToIPv4)
{
    ENTER_PRIVATE_NETWORK();
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    ASSERT_TRUE(listener.valid());
    Fd silent;
    std::vector<Fd> fillers;
    const char* host = nullptr;
    switch (GetParam()) {
    case DeadIPv6::Refused:
        host = "both.velmora.test";
        break;
    case DeadIPv6::Silent:
        host = "both.velmora.test";
        silent = listenRaw6(port, 1);
        ASSERT_TRUE(silent.valid());
        ASSERT_TRUE(makeSilent(silent.get(), port, fillers)) << "the accept queue of the IPv6 listener never filled";
        break;
    case DeadIPv6::Unreachable:
        host = "unreachable.velmora.test";
        break;
    case DeadIPv6::NoRoute:
        host = "noroute.velmora.test";
        break;
    }

    TClientSocket client;
    std::vector<std::string> events;
    client.OnLookup = [&](QObject*, TCustomWinSocket*) { events.emplace_back("lookup"); };
    client.OnConnecting = [&](QObject*, TCustomWinSocket*) { events.emplace_back("connecting"); };
    client.OnConnect = [&](QObject*, TCustomWinSocket*) { events.emplace_back("connect"); };
    client.OnError = [&](QObject*, TCustomWinSocket*, TErrorEvent, int& code) {
        events.emplace_back("error " + std::to_string(code));
    };
    client.SetHost(host);
    client.SetPort(port);
    QElapsedTimer clock;
    clock.start();
    client.SetActive(true);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(peer.valid());
    const qint64 untilIPv4 = clock.elapsed();
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"lookup", "connecting", "connect"}));
    EXPECT_EQ(client.Socket()->PeerAddress(), "127.0.0.1");
    EXPECT_EQ(client.Socket()->SendTextOnce("via four"), 8);
    EXPECT_TRUE(waitFor([&] { return readRawNow(peer.get()) == "via four"; }));
    if (GetParam() == DeadIPv6::Silent) {
        // The IPv4 attempt waited for the IPv6 one for the attempt delay (a
        // coarse timer may fire up to 5 % early).
        EXPECT_GE(untilIPv4, ConnectRace::kAttemptDelay.count() * 95 / 100);
    }

    // The abandoned IPv6 attempt reports nothing later.
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(events.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Fallback, FallbackTest,
                         ::testing::Values(DeadIPv6::Refused, DeadIPv6::Silent, DeadIPv6::Unreachable, DeadIPv6::NoRoute),
                         [](const ::testing::TestParamInfo<DeadIPv6>& info) { return deadName(info.param); });

using PrivateNetworkTest = NetTest;

TEST_F(PrivateNetworkTest, IPv6IsTriedFirstWhereBothAnswer)
{
    ENTER_PRIVATE_NETWORK();
    ASSERT_EQ(Platform::lookupHost("both.velmora.test").front().family, Platform::Family::IPv4)
        << "the resolver was to give IPv4 first";
    TServerSocket server;
    server.SetActive(true);
    TClientSocket client;
    client.SetHost("both.velmora.test");
    client.SetPort(localPortOf(server.Socket()->SocketHandle()));
    client.SetActive(true);
    ASSERT_TRUE(waitFor([&] { return client.Active() && server.Socket()->ActiveConnections() == 1; }));
    EXPECT_EQ(client.Socket()->PeerAddress(), "::1");
    EXPECT_EQ(server.Socket()->ConnectionAt(0)->PeerAddress(), "::1");
}

TEST_F(PrivateNetworkTest, OneErrorOnceEveryAddressIsRefused)
{
    ENTER_PRIVATE_NETWORK();
    TClientSocket client;
    std::vector<std::pair<TErrorEvent, int>> failures;
    client.OnError = [&](QObject*, TCustomWinSocket*, TErrorEvent kind, int& code) { failures.emplace_back(kind, code); };
    client.SetHost("both.velmora.test");
    client.SetPort(freePort());
    client.SetActive(true);
    ASSERT_TRUE(waitFor([&] { return !errors.empty(); }));
    EXPECT_EQ(takeErrors(), (std::vector<std::string>{"Asynchronous socket error " + std::to_string(ECONNREFUSED)}));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(failures, (std::vector<std::pair<TErrorEvent, int>>{{eeConnect, ECONNREFUSED}}));
    EXPECT_FALSE(client.Active());
    EXPECT_NE(client.Socket()->SocketHandle(), -1) << "the failed attempt keeps its socket until the next opening";
}

TEST_F(PrivateNetworkTest, PeerHostNameOfBothFamilies)
{
    ENTER_PRIVATE_NETWORK();
    TServerSocket server;
    server.SetActive(true);
    const std::uint16_t port = localPortOf(server.Socket()->SocketHandle());
    Fd four = connectRaw(port);
    ASSERT_TRUE(waitFor([&] { return server.Socket()->ActiveConnections() == 1; }));
    Fd six = connectRaw6(port);
    ASSERT_TRUE(waitFor([&] { return server.Socket()->ActiveConnections() == 2; }));
    EXPECT_EQ(server.Socket()->ConnectionAt(0)->PeerHostName(), "localhost");
    EXPECT_EQ(server.Socket()->ConnectionAt(1)->PeerHostName(), "both.velmora.test");
}

} // namespace
