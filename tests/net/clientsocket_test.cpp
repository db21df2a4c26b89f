// The connecting component against a plain POSIX peer on loopback.
#include "tests/net/localsupport.h"

#include <cerrno>
#include <climits>

using namespace ScktComp;
using namespace nettest;

namespace {

// Records every client event as "name" (plus the state seen inside the handler).
struct ClientLog {
    std::vector<std::string> events;
    std::vector<std::pair<TErrorEvent, int>> errors;
    int suppress = -1; // the code an error handler leaves behind; -1 keeps it

    void attach(TClientSocket& client)
    {
        auto record = [this, &client](const char* name) {
            return [this, &client, name](QObject* sender, TCustomWinSocket* socket) {
                EXPECT_EQ(sender, &client);
                EXPECT_EQ(socket, client.Socket());
                events.emplace_back(name);
            };
        };
        client.OnLookup = record("lookup");
        client.OnConnecting = record("connecting");
        client.OnConnect = [this, &client](QObject*, TCustomWinSocket* socket) {
            events.emplace_back(client.Active() && socket->Connected() ? "connect(active)" : "connect(inactive)");
        };
        client.OnDisconnect = [this, &client](QObject*, TCustomWinSocket* socket) {
            // Delivered while the socket is still open, after Active has fallen.
            events.emplace_back(std::string("disconnect(") + (client.Active() ? "active" : "inactive") +
                                (socket->SocketHandle() >= 0 ? ",open)" : ",closed)"));
        };
        client.OnRead = record("read");
        client.OnError = [this](QObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            errors.emplace_back(kind, code);
            events.emplace_back("error");
            if (suppress >= 0)
                code = suppress;
        };
    }
};

// Starts a connection attempt of `client` to the loopback address on `port`.
void startAttempt(TClientSocket& client, std::uint16_t port)
{
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    client.SetActive(true);
}

using ClientSocketTest = NetTest;

TEST_F(ClientSocketTest, ConnectReadAndPeerCloseInOrder)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    ASSERT_TRUE(listener.valid());

    TClientSocket client;
    ClientLog log;
    log.attach(client);
    std::string received;
    client.OnRead = [&](QObject*, TCustomWinSocket* socket) {
        log.events.emplace_back("read");
        received += socket->ReadAvailableText();
    };
    startAttempt(client, port);
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup", "connecting"}));
    EXPECT_FALSE(client.Active()) << "Active waits for the end of the attempt";

    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup", "connecting", "connect(active)"}));
    EXPECT_EQ(client.Socket()->PeerAddress(), "127.0.0.1");

    sendRaw(peer.get(), "hello");
    ASSERT_TRUE(waitFor([&] { return received == "hello"; }));

    peer.reset();
    ASSERT_TRUE(waitFor([&] { return !client.Active(); }));
    EXPECT_EQ(log.events.back(), "disconnect(inactive,open)");
    EXPECT_EQ(client.Socket()->SocketHandle(), -1);
    EXPECT_FALSE(client.Socket()->Connected());
    EXPECT_TRUE(log.errors.empty());
}

TEST_F(ClientSocketTest, HostNameGoesThroughTheSameLookup)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    client.SetHost("localhost");
    client.SetPort(port);
    client.SetActive(true);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(peer.valid());
    EXPECT_TRUE(waitFor([&] { return client.Active(); }));
}

TEST_F(ClientSocketTest, LocalCloseDeliversDisconnectInsideTheCall)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    startAttempt(client, port);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));

    log.events.clear();
    client.SetActive(false);
    EXPECT_EQ(log.events, (std::vector<std::string>{"disconnect(inactive,open)"}));
    EXPECT_FALSE(client.Active());
    EXPECT_TRUE(waitPeerClosed(peer.get()));

    // Setting the value it already has does nothing.
    client.SetActive(false);
    EXPECT_EQ(log.events.size(), 1u);
}

TEST_F(ClientSocketTest, WriteIsNotifiedOnceAfterConnect)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    int writes = 0;
    client.OnWrite = [&](QObject*, TCustomWinSocket*) { ++writes; };
    startAttempt(client, port);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return writes > 0; }));
    EXPECT_EQ(client.Socket()->SendTextOnce("ping"), 4);
    // Once the text has arrived the socket is writable with nothing queued:
    // a second write event would be due now.
    ASSERT_TRUE(waitUnread(peer.get(), 4));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(readRawNow(peer.get()), "ping");
}

TEST_F(ClientSocketTest, UnhandledReadIsNotRepeatedUntilAReceive)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    int reads = 0;
    client.OnRead = [&](QObject*, TCustomWinSocket*) { ++reads; };
    startAttempt(client, port);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));

    sendRaw(peer.get(), "first");
    ASSERT_TRUE(waitFor([&] { return reads == 1; }));
    sendRaw(peer.get(), "second");
    // Both texts wait on the socket: a read event would be due now.
    ASSERT_TRUE(waitUnread(client.Socket()->SocketHandle(), 11));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(reads, 1) << "pending data must not be announced again before it is read";

    // Both texts wait joined in one read.
    EXPECT_EQ(client.Socket()->ReadAvailableText(), "firstsecond");
    EXPECT_EQ(client.Socket()->ReadAvailableText(), "");
    sendRaw(peer.get(), "third");
    EXPECT_TRUE(waitFor([&] { return reads == 2; }));
    EXPECT_EQ(client.Socket()->ReadAvailableText(), "third");
}

TEST_F(ClientSocketTest, RefusedConnectionSuppressedByTheHandler)
{
    const std::uint16_t port = freePort();
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    log.suppress = 0;
    startAttempt(client, port);
    ASSERT_TRUE(waitFor([&] { return !log.errors.empty(); }));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(log.errors, (std::vector<std::pair<TErrorEvent, int>>{{eeConnect, ECONNREFUSED}}));
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup", "connecting", "error"}));
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(client.Socket()->Connected());
    EXPECT_EQ(client.Socket()->SendTextOnce("x"), 0);

    // The next opening starts afresh, with a new socket.
    std::uint16_t livePort = 0;
    Fd listener = listenRaw(livePort);
    client.SetPort(livePort);
    client.SetActive(true);
    Fd peer = acceptRaw(listener.get());
    EXPECT_TRUE(waitFor([&] { return client.Active(); }));
    EXPECT_EQ(log.errors.size(), 1u);
}

TEST_F(ClientSocketTest, RefusedConnectionNotSuppressedReachesTheApplication)
{
    const std::uint16_t port = freePort();
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    startAttempt(client, port);
    ASSERT_TRUE(waitFor([&] { return !errors.empty(); }));
    EXPECT_EQ(takeErrors(), (std::vector<std::string>{"Asynchronous socket error " + std::to_string(ECONNREFUSED)}));
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup", "connecting", "error"}));
    EXPECT_FALSE(client.Active());
}

TEST_F(ClientSocketTest, UnresolvableHostFailsAtOnceAfterDisconnect)
{
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    client.SetHost("nonexistent.invalid");
    client.SetPort(freePort());
    try {
        client.SetActive(true);
        FAIL() << "no error raised";
    } catch (const ESocketError& error) {
        EXPECT_EQ(std::string(error.what()), "Windows socket error: " + std::string(std::strerror(EADDRNOTAVAIL)) +
                                                 " (" + std::to_string(EADDRNOTAVAIL) + "), on API 'connect'");
    }
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup", "connecting", "disconnect(inactive,open)"}));
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.Socket()->SocketHandle(), -1);
    ASSERT_TRUE(drainPending());
    EXPECT_TRUE(log.errors.empty());
}

TEST_F(ClientSocketTest, NoAddressSpecified)
{
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    client.SetPort(freePort());
    try {
        client.SetActive(true);
        FAIL() << "no error raised";
    } catch (const ESocketError& error) {
        EXPECT_STREQ(error.what(), "No address specified");
    }
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup", "disconnect(inactive,open)"}));
    EXPECT_EQ(client.Socket()->SocketHandle(), -1);
}

TEST_F(ClientSocketTest, DeactivatingDuringTheAttemptDoesNothing)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    startAttempt(client, port);
    client.SetActive(false);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup", "connecting", "connect(active)"}));
}

TEST_F(ClientSocketTest, ANewAttemptAbandonsTheEarlierOne)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    startAttempt(client, port);
    client.SetActive(true);
    EXPECT_NE(client.Socket()->SocketHandle(), -1);
    Fd first = acceptRaw(listener.get());
    Fd second = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    waitFor([&] { return !first.valid() || peerClosed(first.get()); });
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"lookup", "connecting", "lookup", "connecting", "connect(active)"}));
    EXPECT_TRUE(peerClosed(first.get()) || !first.valid()) << "the abandoned attempt is closed";
}

TEST_F(ClientSocketTest, ReopeningInsideDisconnectFindsTheSocketStillOpen)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    std::string raised;
    client.OnDisconnect = [&](QObject*, TCustomWinSocket*) {
        try {
            client.SetActive(true);
        } catch (const ESocketError& error) {
            raised = error.what();
        }
    };
    client.SetActive(true);
    Fd first = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    first.reset();
    ASSERT_TRUE(waitFor([&] { return !raised.empty(); }));
    EXPECT_EQ(raised, "Socket already open");
    EXPECT_EQ(client.Socket()->SocketHandle(), -1);

    // Once the closing sequence has finished, opening works again.
    client.OnDisconnect = nullptr;
    client.SetActive(true);
    Fd second = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    EXPECT_EQ(client.Socket()->SendTextOnce("still here"), 10);
    EXPECT_TRUE(waitFor([&] { return readRawNow(second.get()) == "still here"; }));
}

TEST_F(ClientSocketTest, PropertySetters)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    client.SetHost("LocalHost");
    client.SetPort(port);
    client.SetActive(true);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));

    auto expectRefused = [](const std::function<void()>& change) {
        try {
            change();
            ADD_FAILURE() << "change accepted while active";
        } catch (const ESocketError& error) {
            EXPECT_STREQ(error.what(), "Can't change value while socket is active");
        }
    };
    // Equal values, texts without regard to case, change nothing and raise nothing.
    EXPECT_NO_THROW(client.SetHost("localhost"));
    EXPECT_NO_THROW(client.SetPort(port));
    EXPECT_NO_THROW(client.SetAddress(""));
    EXPECT_NO_THROW(client.SetService(""));
    EXPECT_EQ(client.Host(), "LocalHost");
    expectRefused([&] { client.SetHost("127.0.0.2"); });
    expectRefused([&] { client.SetAddress("127.0.0.1"); });
    expectRefused([&] { client.SetPort(port + 1); });
    expectRefused([&] { client.SetService("http"); });
    expectRefused([&] { client.SetClientType(ctNonBlocking); });
    EXPECT_EQ(client.Host(), "LocalHost");
    EXPECT_EQ(client.Port(), port);

    client.SetActive(false);
    client.SetHost("127.0.0.2");
    client.SetClientType(ctNonBlocking);
    EXPECT_EQ(client.Host(), "127.0.0.2");
    EXPECT_EQ(client.ClientType(), ctNonBlocking);
}

// A port number outside 0-65535 would otherwise wrap round to another port
// (66560 to 1024); both components refuse it and keep their value.
class PortRangeTest : public NetTest, public ::testing::WithParamInterface<int> {};

TEST_P(PortRangeTest, OutsideTheRangeRaisesAndChangesNothing)
{
    const int value = GetParam();
    const bool valid = value >= 0 && value <= 65535;
    auto check = [&](auto& component) {
        component.SetPort(1024);
        try {
            component.SetPort(value);
            EXPECT_TRUE(valid) << value << " accepted";
            EXPECT_EQ(component.Port(), value);
        } catch (const ESocketError& error) {
            EXPECT_FALSE(valid) << value << " refused";
            EXPECT_EQ(std::string(error.what()), "Port " + std::to_string(value) + " is outside the range 0 to 65535");
            EXPECT_EQ(component.Port(), 1024);
        }
    };
    TClientSocket client;
    TServerSocket server;
    check(client);
    check(server);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, PortRangeTest, ::testing::Values(INT_MIN, -1, 0, 1024, 65535, 65536, 66560, INT_MAX));

TEST_F(ClientSocketTest, AddressTextAndServiceName)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    client.SetAddress("127.0.0.1");
    client.SetPort(port);
    client.SetActive(true);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    client.SetActive(false);

    // An unknown service gives port 0, which the system refuses.
    client.SetService("no-such-service-here");
    client.SetActive(true);
    int errorsSeen = 0;
    client.OnError = [&](QObject*, TCustomWinSocket*, TErrorEvent, int& code) {
        ++errorsSeen;
        code = 0;
    };
    EXPECT_TRUE(waitFor([&] { return errorsSeen == 1; }));
    EXPECT_FALSE(client.Active());
}

TEST_F(ClientSocketTest, HandlerErrorsGoToTheApplicationAndTheNextNotificationRuns)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    int reads = 0;
    client.OnRead = [&](QObject*, TCustomWinSocket* socket) {
        ++reads;
        const std::string text = socket->ReadAvailableText();
        if (text == "boom")
            throw std::runtime_error("handler failed");
    };
    startAttempt(client, port);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    sendRaw(peer.get(), "boom");
    ASSERT_TRUE(waitFor([&] { return !errors.empty(); }));
    EXPECT_EQ(takeErrors(), std::vector<std::string>{"handler failed"});
    sendRaw(peer.get(), "calm");
    EXPECT_TRUE(waitFor([&] { return reads == 2; }));
}

TEST_F(ClientSocketTest, ResetReportedWithCloseLeavesTheConnectionOpen)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    log.suppress = 0;
    startAttempt(client, port);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    resetRaw(peer);
    ASSERT_TRUE(waitFor([&] { return !log.errors.empty(); }));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(log.errors, (std::vector<std::pair<TErrorEvent, int>>{{eeDisconnect, ECONNRESET}}));
    EXPECT_TRUE(client.Active());
    EXPECT_TRUE(client.Socket()->Connected());

    // A later send on it fails, closes it and, suppressed, stays silent.
    waitFor([&] { return client.Socket()->SendTextOnce("x") == 0 || !client.Active(); }, 2000);
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(log.events.back(), "disconnect(inactive,open)");
    ASSERT_GE(log.errors.size(), 2u);
    EXPECT_EQ(log.errors[1].first, eeSend);
}

TEST_F(ClientSocketTest, SendToAClosedPeerRaisesNoSignal)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    ClientLog log;
    log.attach(client);
    startAttempt(client, port);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    peer.reset();

    // Without the event loop the close goes unnoticed; the first send draws a
    // reset, the error it leaves is taken here, and the next send meets a
    // broken pipe, which must not raise SIGPIPE.
    const int handle = client.Socket()->SocketHandle();
    EXPECT_EQ(client.Socket()->SendTextOnce("one"), 3);
    pollfd p{handle, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ASSERT_TRUE(p.revents & (POLLERR | POLLHUP));
    int pending = 0;
    socklen_t length = sizeof pending;
    ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &pending, &length);
    try {
        client.Socket()->SendTextOnce("two");
        FAIL() << "no error raised";
    } catch (const ESocketError& error) {
        EXPECT_EQ(std::string(error.what()), "Windows socket error: " + std::string(std::strerror(EPIPE)) + " (" +
                                                 std::to_string(EPIPE) + "), on API 'send'");
    }
    EXPECT_EQ(log.errors, (std::vector<std::pair<TErrorEvent, int>>{{eeSend, EPIPE}}));
    EXPECT_EQ(log.events.back(), "disconnect(inactive,open)");
    EXPECT_FALSE(client.Active());
}

// However the connection ends, a disconnect handler that raises leaves the
// socket closed, so that the next opening works instead of finding it open.
enum class Ending { PeerCloses, SetInactive, OpeningFails };

std::string endingName(const ::testing::TestParamInfo<Ending>& info)
{
    static const char* const names[] = {"PeerCloses", "SetInactive", "OpeningFails"};
    return names[static_cast<int>(info.param)];
}

class RaisingDisconnectTest : public NetTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(RaisingDisconnectTest, TheNextConnectWorks)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    TClientSocket client;
    int disconnects = 0;
    client.OnDisconnect = [&](QObject*, TCustomWinSocket*) {
        ++disconnects;
        throw ESocketError("handler failed");
    };
    client.SetPort(port);
    client.SetHost(GetParam() == Ending::OpeningFails ? "nonexistent.invalid" : "127.0.0.1");
    std::string raised;
    auto setActive = [&](bool value) {
        try {
            client.SetActive(value);
        } catch (const ESocketError& error) {
            raised = error.what();
        }
    };
    setActive(true);
    if (GetParam() == Ending::OpeningFails) {
        // The caller learns why the opening failed; the handler's error goes to the application.
        EXPECT_EQ(raised.rfind("Windows socket error: ", 0), 0u) << raised;
        EXPECT_EQ(takeErrors(), std::vector<std::string>{"handler failed"});
    } else {
        ASSERT_EQ(raised, "");
        Fd peer = acceptRaw(listener.get());
        ASSERT_TRUE(waitFor([&] { return client.Active(); }));
        if (GetParam() == Ending::SetInactive) {
            setActive(false);
            EXPECT_EQ(raised, "handler failed");
        } else {
            peer.reset();
            ASSERT_TRUE(waitFor([&] { return !errors.empty(); }));
            EXPECT_EQ(takeErrors(), std::vector<std::string>{"handler failed"});
        }
    }
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(client.Socket()->Connected());
    EXPECT_EQ(client.Socket()->SocketHandle(), -1);

    client.SetHost("127.0.0.1");
    EXPECT_NO_THROW(client.SetActive(true));
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));
    EXPECT_EQ(client.Socket()->SendTextOnce("again"), 5);
    EXPECT_TRUE(waitFor([&] { return readRawNow(peer.get()) == "again"; }));
}

INSTANTIATE_TEST_SUITE_P(Endings, RaisingDisconnectTest,
                         ::testing::Values(Ending::PeerCloses, Ending::SetInactive, Ending::OpeningFails),
                         endingName);

TEST_F(ClientSocketTest, DestroyingAnOpenComponentDeliversNothing)
{
    std::uint16_t port = 0;
    Fd listener = listenRaw(port);
    Fd peer;
    int events = 0;
    {
        TClientSocket client;
        startAttempt(client, port);
        peer = acceptRaw(listener.get());
        ASSERT_TRUE(waitFor([&] { return client.Active(); }));
        client.OnDisconnect = [&](QObject*, TCustomWinSocket*) { ++events; };
        client.OnError = [&](QObject*, TCustomWinSocket*, TErrorEvent, int&) { ++events; };
    }
    EXPECT_TRUE(waitPeerClosed(peer.get()));
    EXPECT_EQ(events, 0);
}

} // namespace
