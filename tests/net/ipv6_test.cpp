// IPv6 beside IPv4: the components over ::1, the listening socket taking both
// families, and IPv6 address texts.
#include "tests/net/localsupport.h"

#include "net/connectrace_p.h"

#include <QPointer>

using namespace ScktComp;
using namespace nettest;

namespace {

class IPv6Test : public NetTest {
protected:
    void SetUp() override
    {
        NetTest::SetUp();
        if (!hasIPv6Loopback())
            GTEST_SKIP() << "this machine has no IPv6 loopback address (::1) to test on";
    }
};

TEST_F(IPv6Test, ComponentsTalkOverTheIPv6Loopback)
{
    TServerSocket server;
    QPointer<TCustomWinSocket> accepted;
    std::string atServer, atClient;
    server.OnAccept = [&](QObject*, TCustomWinSocket* socket) { accepted = socket; };
    server.OnClientRead = [&](QObject*, TCustomWinSocket* socket) { atServer += socket->ReadAvailableText(); };
    server.SetActive(true);

    TClientSocket client;
    std::vector<std::string> events;
    client.OnLookup = [&](QObject*, TCustomWinSocket*) { events.emplace_back("lookup"); };
    client.OnConnecting = [&](QObject*, TCustomWinSocket*) { events.emplace_back("connecting"); };
    client.OnConnect = [&](QObject*, TCustomWinSocket*) { events.emplace_back("connect"); };
    client.OnRead = [&](QObject*, TCustomWinSocket* socket) { atClient += socket->ReadAvailableText(); };
    client.SetHost("::1");
    client.SetPort(localPortOf(server.Socket()->SocketHandle()));
    client.SetActive(true);

    ASSERT_TRUE(waitFor([&] { return client.Active() && accepted; }));
    EXPECT_EQ(events, (std::vector<std::string>{"lookup", "connecting", "connect"}));
    EXPECT_EQ(client.Socket()->PeerAddress(), "::1");
    EXPECT_EQ(accepted->PeerAddress(), "::1");
    EXPECT_EQ(client.Socket()->SendTextOnce("over six"), 8);
    EXPECT_TRUE(waitFor([&] { return atServer == "over six"; }));
    EXPECT_EQ(accepted->SendTextOnce("and back"), 8);
    EXPECT_TRUE(waitFor([&] { return atClient == "and back"; }));
}

TEST_F(IPv6Test, ListenerTakesAnIPv4AndAnIPv6PeerInTurn)
{
    TServerSocket server;
    std::vector<std::pair<std::string, std::string>> received; // (peer address, text)
    server.OnClientRead = [&](QObject*, TCustomWinSocket* socket) {
        received.emplace_back(socket->PeerAddress(), socket->ReadAvailableText());
    };
    server.SetActive(true);
    const std::uint16_t port = localPortOf(server.Socket()->SocketHandle());

    Fd four = connectRaw(port);
    ASSERT_TRUE(four.valid()) << "the listener takes IPv4";
    ASSERT_TRUE(waitFor([&] { return server.Socket()->ActiveConnections() == 1; }));
    Fd six = connectRaw6(port);
    ASSERT_TRUE(six.valid()) << "the listener takes IPv6";
    ASSERT_TRUE(waitFor([&] { return server.Socket()->ActiveConnections() == 2; }));

    // An IPv4 peer shows as plain IPv4, not as an IPv4-mapped IPv6 address.
    EXPECT_EQ(server.Socket()->ConnectionAt(0)->PeerAddress(), "127.0.0.1");
    EXPECT_EQ(server.Socket()->ConnectionAt(1)->PeerAddress(), "::1");
    sendRaw(six.get(), "six");
    ASSERT_TRUE(waitFor([&] { return received.size() == 1; }));
    sendRaw(four.get(), "four");
    ASSERT_TRUE(waitFor([&] { return received.size() == 2; }));
    EXPECT_EQ(received, (std::vector<std::pair<std::string, std::string>>{{"::1", "six"}, {"127.0.0.1", "four"}}));
}

// An IPv6 address text in Host or Address, bare or in brackets, with or
// without a scope: each reaches the listener on ::1.
struct AddressText {
    const char* name;
    bool asHost;
    const char* text;
};

class IPv6AddressTextTest : public IPv6Test, public ::testing::WithParamInterface<AddressText> {};

TEST_P(IPv6AddressTextTest, Connects)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw6(port);
    ASSERT_TRUE(listener.valid());
    TClientSocket client;
    if (GetParam().asHost)
        client.SetHost(GetParam().text);
    else
        client.SetAddress(GetParam().text);
    client.SetPort(port);
    client.SetActive(true);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    EXPECT_EQ(client.Socket()->PeerAddress(), "::1");
}

const AddressText kAddressTexts[] = {
    {"HostBare", true, "::1"},          {"HostBracketed", true, "[::1]"},       {"AddressBare", false, "::1"},
    {"AddressBracketed", false, "[::1]"}, {"HostLongForm", true, "0:0:0:0:0:0:0:1"},
    {"HostScopeByName", true, "[::1%lo]"}, {"AddressScopeByIndex", false, "::1%1"},
};

INSTANTIATE_TEST_SUITE_P(Texts, IPv6AddressTextTest, ::testing::ValuesIn(kAddressTexts),
                         [](const ::testing::TestParamInfo<AddressText>& info) { return std::string(info.param.name); });

// The order of trying: IPv6 first, then the families alternate, each in the
// order the resolver gave; the rest of the longer family comes last.
TEST(ConnectOrderTest, IPv6FirstThenAlternating)
{
    auto address = [](Platform::Family family, std::uint8_t tag) {
        Platform::SocketAddress a;
        a.family = family;
        a.address = tag;
        a.address6[15] = tag;
        return a;
    };
    using F = Platform::Family;
    const std::vector<Platform::SocketAddress> resolved{address(F::IPv4, 1), address(F::IPv4, 2), address(F::IPv6, 3),
                                                        address(F::IPv4, 4), address(F::IPv6, 5)};
    std::vector<std::uint8_t> order;
    for (const Platform::SocketAddress& a : ConnectRace::interleaved(resolved))
        order.push_back(a.family == F::IPv4 ? static_cast<std::uint8_t>(a.address) : a.address6[15]);
    EXPECT_EQ(order, (std::vector<std::uint8_t>{3, 1, 5, 2, 4}));
}

using AddressScopeTest = NetTest;

// A scope naming no interface of this machine is refused before any attempt,
// as an opening without an address is.
TEST_F(AddressScopeTest, UnknownInterfaceIsRefusedBeforeConnecting)
{
    TClientSocket client;
    std::vector<std::string> events;
    client.OnLookup = [&](QObject*, TCustomWinSocket*) { events.emplace_back("lookup"); };
    client.OnConnecting = [&](QObject*, TCustomWinSocket*) { events.emplace_back("connecting"); };
    client.OnDisconnect = [&](QObject*, TCustomWinSocket*) { events.emplace_back("disconnect"); };
    client.SetHost("fe80::1%nosuchif0");
    client.SetPort(1024);
    try {
        client.SetActive(true);
        FAIL() << "no error raised";
    } catch (const ESocketError& error) {
        EXPECT_STREQ(error.what(), "Unknown network interface in the address 'fe80::1%nosuchif0'");
    }
    EXPECT_EQ(events, (std::vector<std::string>{"lookup", "disconnect"}));
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.Socket()->SocketHandle(), -1);
}

} // namespace
