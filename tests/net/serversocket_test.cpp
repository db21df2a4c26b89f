// The listening component and its accepted connections, with plain POSIX peers.
#include "tests/net/localsupport.h"

#include <QPointer>

#include <fcntl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

using namespace ScktComp;
using namespace nettest;

namespace {

// A listening component on a free port, with every event recorded in order.
class Listener {
public:
    // Port 0: the system picks a free port at each listen, read back from the handle.
    Listener()
    {
        server.OnListen = [this](QObject* sender, TCustomWinSocket* socket) {
            EXPECT_EQ(sender, &server);
            EXPECT_EQ(socket, server.Socket());
            events.emplace_back(server.Active() ? "listen(active)" : "listen(inactive)");
        };
        server.OnClientConnect = [this](QObject* sender, TCustomWinSocket* socket) {
            EXPECT_EQ(sender, server.Socket());
            EXPECT_TRUE(socket->Connected());
            events.emplace_back("clientconnect " + name(socket));
        };
        server.OnAccept = [this](QObject* sender, TCustomWinSocket* socket) {
            EXPECT_EQ(sender, &server);
            events.emplace_back("accept " + name(socket));
        };
        server.OnClientDisconnect = [this](QObject*, TCustomWinSocket* socket) {
            events.emplace_back("clientdisconnect " + name(socket) + (socket->SocketHandle() >= 0 ? "(open)" : ""));
        };
        server.OnClientRead = [this](QObject*, TCustomWinSocket* socket) { received += socket->ReadAvailableText(); };
        server.OnClientError = [this](QObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            clientErrors.emplace_back(kind, code);
            if (suppress)
                code = 0;
        };
    }

    std::uint16_t port() const
    {
        const int handle = server.Socket()->SocketHandle();
        return handle >= 0 ? localPort(handle) : static_cast<std::uint16_t>(server.Port());
    }

    // Connects a raw peer and waits until the component has accepted it.
    Fd connectPeer()
    {
        const int before = server.Socket()->ActiveConnections();
        Fd peer = connectRaw(port());
        EXPECT_TRUE(peer.valid());
        EXPECT_TRUE(waitFor([&] { return server.Socket()->ActiveConnections() == before + 1; }));
        return peer;
    }

    // Names connections by the order they were first seen.
    std::string name(TCustomWinSocket* socket)
    {
        for (std::size_t i = 0; i < seen.size(); ++i)
            if (seen[i] == socket)
                return "#" + std::to_string(i);
        seen.push_back(socket);
        return "#" + std::to_string(seen.size() - 1);
    }

    TServerSocket server;
    std::vector<std::string> events;
    std::vector<TCustomWinSocket*> seen;
    std::string received;
    std::vector<std::pair<TErrorEvent, int>> clientErrors;
    bool suppress = false;
};

using ServerSocketTest = NetTest;

TEST_F(ServerSocketTest, ListenAcceptReadAndPeerClose)
{
    Listener l;
    l.server.SetActive(true);
    EXPECT_TRUE(l.server.Active());
    EXPECT_EQ(l.events, std::vector<std::string>{"listen(active)"});

    Fd peer = l.connectPeer();
    EXPECT_EQ(l.events, (std::vector<std::string>{"listen(active)", "clientconnect #0", "accept #0"}));
    TServerClientWinSocket* connection = l.server.Socket()->ConnectionAt(0);
    EXPECT_EQ(connection, l.seen[0]);
    EXPECT_EQ(connection->ServerWinSocket(), l.server.Socket());
    EXPECT_EQ(connection->PeerAddress(), "127.0.0.1");
    EXPECT_FALSE(connection->PeerHostName().empty()) << "loopback has a name in every hosts table";

    sendRaw(peer.get(), "over the wire");
    ASSERT_TRUE(waitFor([&] { return l.received == "over the wire"; }));
    EXPECT_EQ(connection->SendTextOnce("back"), 4);
    EXPECT_TRUE(waitFor([&] { return readRawNow(peer.get()) == "back"; }));

    // After the peer's close the connection stays listed, not connected, until
    // the deferred release runs.
    bool listedInHandler = false;
    bool connectedAfterHandler = true;
    l.server.OnClientDisconnect = [&](QObject*, TCustomWinSocket* socket) {
        l.events.emplace_back("clientdisconnect " + l.name(socket) + (socket->SocketHandle() >= 0 ? "(open)" : ""));
        listedInHandler = l.server.Socket()->ActiveConnections() == 1;
        QTimer::singleShot(0, [&, guard = QPointer<TCustomWinSocket>(socket)] {
            connectedAfterHandler = guard && guard->Connected();
        });
    };
    QPointer<TServerClientWinSocket> watch(connection);
    peer.reset();
    ASSERT_TRUE(waitFor([&] { return watch.isNull(); }));
    EXPECT_TRUE(listedInHandler);
    EXPECT_FALSE(connectedAfterHandler);
    EXPECT_EQ(l.events.back(), "clientdisconnect #0(open)");
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 0);
    EXPECT_TRUE(l.server.Active());
}

TEST_F(ServerSocketTest, TwoPeersAcceptedInOrder)
{
    Listener l;
    l.server.SetActive(true);
    Fd first = l.connectPeer();
    Fd second = l.connectPeer();
    EXPECT_EQ(l.events, (std::vector<std::string>{"listen(active)", "clientconnect #0", "accept #0",
                                                   "clientconnect #1", "accept #1"}));
    EXPECT_EQ(l.server.Socket()->ConnectionAt(0), l.seen[0]);
    EXPECT_EQ(l.server.Socket()->ConnectionAt(1), l.seen[1]);

    // Each connection talks to its own peer.
    l.server.Socket()->ConnectionAt(1)->SendTextOnce("to second");
    l.server.Socket()->ConnectionAt(0)->SendTextOnce("to first");
    EXPECT_TRUE(waitFor([&] { return readRawNow(first.get()) == "to first"; }));
    EXPECT_EQ(readRawNow(second.get()), "to second");
}

TEST_F(ServerSocketTest, ConnectionAtOutOfBounds)
{
    Listener l;
    auto expectOutOfBounds = [&](int index) {
        try {
            l.server.Socket()->ConnectionAt(index);
            ADD_FAILURE() << "index " << index << " accepted";
        } catch (const ESocketError& error) {
            EXPECT_EQ(std::string(error.what()), "List index out of bounds (" + std::to_string(index) + ")");
        }
    };
    expectOutOfBounds(0);
    l.server.SetActive(true);
    Fd peer = l.connectPeer();
    EXPECT_NO_THROW(l.server.Socket()->ConnectionAt(0));
    expectOutOfBounds(1);
    expectOutOfBounds(-1);
}

TEST_F(ServerSocketTest, ClosingReleasesEveryConnectionWithoutEvents)
{
    Listener l;
    l.server.SetActive(true);
    Fd first = l.connectPeer();
    Fd second = l.connectPeer();
    QPointer<TServerClientWinSocket> a = l.server.Socket()->ConnectionAt(0);
    QPointer<TServerClientWinSocket> b = l.server.Socket()->ConnectionAt(1);
    const std::size_t eventsBefore = l.events.size();

    l.server.SetActive(false);
    EXPECT_FALSE(l.server.Active());
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 0);
    EXPECT_TRUE(a.isNull());
    EXPECT_TRUE(b.isNull());
    EXPECT_TRUE(waitPeerClosed(first.get()));
    EXPECT_TRUE(waitPeerClosed(second.get()));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(l.events.size(), eventsBefore) << "no client event while the listener closes";
    EXPECT_FALSE(connectRaw(l.port()).valid()) << "nothing listens any more";

    // Active set to its own value does nothing; set to true it listens again.
    l.server.SetActive(false);
    l.server.SetActive(true);
    Fd third = l.connectPeer();
    ASSERT_EQ(l.events.size(), eventsBefore + 3);
    EXPECT_EQ(l.events[eventsBefore], "listen(active)");
    EXPECT_EQ(l.events.back().rfind("accept", 0), 0u);
}

TEST_F(ServerSocketTest, ClosingAndReopeningFromInsideClientDisconnect)
{
    Listener l;
    l.server.SetActive(true);
    Fd first = l.connectPeer();
    Fd second = l.connectPeer();
    QPointer<TServerClientWinSocket> closing = l.server.Socket()->ConnectionAt(0);
    QPointer<TServerClientWinSocket> other = l.server.Socket()->ConnectionAt(1);
    int disconnects = 0;
    bool objectAliveAfterClose = false;
    l.server.OnClientDisconnect = [&](QObject*, TCustomWinSocket* socket) {
        ++disconnects;
        // What the chat window does: close the listener and listen again.
        l.server.SetActive(false);
        objectAliveAfterClose = !closing.isNull() && socket == closing.data();
        EXPECT_EQ(l.server.Socket()->ActiveConnections(), 0);
        l.server.SetActive(true);
    };
    first.reset();
    ASSERT_TRUE(waitFor([&] { return closing.isNull(); }));
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(objectAliveAfterClose) << "the object in processing outlives its own handler";
    EXPECT_TRUE(other.isNull());
    EXPECT_TRUE(waitPeerClosed(second.get()));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(l.server.Active());
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 0);
    Fd third = l.connectPeer();
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 1);
}

TEST_F(ServerSocketTest, ClosingFromInsideClientConnectSkipsTheAccept)
{
    Listener l;
    l.server.SetActive(true);
    l.server.OnClientConnect = [&](QObject*, TCustomWinSocket*) {
        l.events.emplace_back("clientconnect");
        l.server.SetActive(false);
    };
    Fd peer = connectRaw(l.port());
    ASSERT_TRUE(waitFor([&] { return !l.server.Active(); }));
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(l.events, (std::vector<std::string>{"listen(active)", "clientconnect"}));
    EXPECT_TRUE(waitPeerClosed(peer.get()));
}

TEST_F(ServerSocketTest, PortTakenByAnotherProgram)
{
    std::uint16_t port = 0;
    Fd other = listenRaw(port, INADDR_ANY);
    ASSERT_TRUE(other.valid());
    Listener l;
    l.server.SetPort(port);
    try {
        l.server.SetActive(true);
        FAIL() << "bind accepted a taken port";
    } catch (const ESocketError& error) {
        EXPECT_EQ(std::string(error.what()), "Windows socket error: " + std::string(std::strerror(EADDRINUSE)) +
                                                 " (" + std::to_string(EADDRINUSE) + "), on API 'bind'");
    }
    EXPECT_FALSE(l.server.Active());
    EXPECT_TRUE(l.events.empty());
    EXPECT_EQ(l.server.Socket()->SocketHandle(), -1);

    // Once the port is free the same component listens.
    other.reset();
    l.server.SetActive(true);
    EXPECT_TRUE(l.server.Active());
}

TEST_F(ServerSocketTest, RestartWhileOldConnectionsLinger)
{
    Listener l;
    l.server.SetActive(true);
    const std::uint16_t chosen = l.port();
    l.server.SetActive(false);
    l.server.SetPort(chosen);
    l.server.SetActive(true);
    const std::uint16_t port = l.port();
    Fd peer = l.connectPeer();
    // Closed on this side first, the connection lingers in TIME_WAIT on the port.
    l.server.SetActive(false);
    EXPECT_TRUE(waitPeerClosed(peer.get()));
    peer.reset();
    EXPECT_NO_THROW(l.server.SetActive(true));
    EXPECT_TRUE(l.server.Active());
    EXPECT_EQ(l.port(), port);
}

TEST_F(ServerSocketTest, PropertySetters)
{
    Listener l;
    l.server.SetActive(true);
    const int port = l.server.Port();
    EXPECT_NO_THROW(l.server.SetPort(port));
    EXPECT_NO_THROW(l.server.SetService(""));
    auto expectRefused = [](const std::function<void()>& change) {
        try {
            change();
            ADD_FAILURE() << "change accepted while active";
        } catch (const ESocketError& error) {
            EXPECT_STREQ(error.what(), "Can't change value while socket is active");
        }
    };
    expectRefused([&] { l.server.SetPort(port + 1); });
    expectRefused([&] { l.server.SetService("http"); });
    expectRefused([&] { l.server.SetServerType(stNonBlocking); });
    EXPECT_EQ(l.server.Port(), port);
    l.server.SetActive(false);
    l.server.SetServerType(stNonBlocking);
    l.server.SetPort(port + 1);
    EXPECT_EQ(l.server.Port(), port + 1);
    EXPECT_EQ(l.server.ThreadCacheSize(), 10);
}

TEST_F(ServerSocketTest, SendAndReadOnAReleasedOrClosedConnection)
{
    Listener l;
    l.server.SetActive(true);
    Fd peer = l.connectPeer();
    TServerClientWinSocket* connection = l.server.Socket()->ConnectionAt(0);
    int result = -2;
    std::string read = "unset";
    l.server.OnClientDisconnect = [&](QObject*, TCustomWinSocket* socket) {
        // Still open inside the handler; afterwards it is closed.
        QTimer::singleShot(0, [&, guard = QPointer<TCustomWinSocket>(socket)] {
            if (guard) {
                result = guard->SendTextOnce("late");
                read = guard->ReadAvailableText();
            }
        });
    };
    EXPECT_EQ(connection->ReadAvailableText(), "") << "nothing pending";
    peer.reset();
    ASSERT_TRUE(waitFor([&] { return result != -2; }));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read, "");
}

TEST_F(ServerSocketTest, ResetReachesOnClientErrorThenTheApplication)
{
    Listener l;
    l.server.SetActive(true);
    Fd peer = l.connectPeer();
    resetRaw(peer);
    ASSERT_TRUE(waitFor([&] { return !errors.empty(); }));
    EXPECT_EQ(l.clientErrors, (std::vector<std::pair<TErrorEvent, int>>{{eeDisconnect, ECONNRESET}}));
    EXPECT_EQ(takeErrors(), std::vector<std::string>{"Asynchronous socket error " + std::to_string(ECONNRESET)});
    ASSERT_TRUE(drainPending());
    EXPECT_TRUE(errors.empty()) << "the quiet connection reports nothing more";
    // The notification was not processed as a close: the connection is still listed and open.
    ASSERT_EQ(l.server.Socket()->ActiveConnections(), 1);
    EXPECT_TRUE(l.server.Socket()->ConnectionAt(0)->Connected());
    EXPECT_EQ(l.events.back(), "accept #0");
}

TEST_F(ServerSocketTest, RaisingClientDisconnectStillReleasesTheConnection)
{
    Listener l;
    l.server.SetActive(true);
    Fd first = l.connectPeer();
    QPointer<TServerClientWinSocket> connection = l.server.Socket()->ConnectionAt(0);
    l.server.OnClientDisconnect = [](QObject*, TCustomWinSocket*) { throw ESocketError("handler failed"); };
    first.reset();
    ASSERT_TRUE(waitFor([&] { return connection.isNull(); }));
    EXPECT_EQ(takeErrors(), std::vector<std::string>{"handler failed"});
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 0);
    EXPECT_TRUE(l.server.Active());
    Fd second = l.connectPeer();
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 1);
}

// Lowers the process's descriptor limit to the lowest free descriptor, so
// that no new one can be made, and restores it when it goes.
class DescriptorLimit {
public:
    DescriptorLimit()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowestFree);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        active_ = lowestFree > 0 && ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool active() const { return active_; }

private:
    rlimit saved_{};
    bool active_ = false;
};

TEST_F(ServerSocketTest, AcceptOutOfDescriptorsReportsOnceAndResumes)
{
    Listener l;
    l.server.SetActive(true);
    const std::uint16_t port = l.port();
    // The peers' sockets are made first: connecting takes no new descriptor.
    Fd first(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Fd second(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = loopback(port);
    // UndefinedBehaviorSanitizer checks an object's type the first time it
    // meets it with a pipe, which needs descriptors: let it meet the event
    // loop's and the error report's types while there are some.
    bool looped = false;
    QTimer::singleShot(0, &l.server, [&looped] { looped = true; });
    ASSERT_TRUE(waitFor([&] { return looped; }));
    HandleApplicationError(ESocketError("warm-up"));
    takeErrors();
    EXPECT_EQ(l.server.Socket()->findChild<QTimer*>(), nullptr) << "no pause before the first failure";
    {
        DescriptorLimit limit;
        ASSERT_TRUE(limit.active());
        ASSERT_EQ(::connect(first.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_TRUE(waitFor([&] { return !errors.empty(); }));
        // The pause before each new try is the listening socket's one timer.
        QTimer* const pause = l.server.Socket()->findChild<QTimer*>();
        ASSERT_NE(pause, nullptr);
        int pauses = 0;
        const QMetaObject::Connection counting =
            QObject::connect(pause, &QTimer::timeout, pause, [&pauses] { ++pauses; });
        ASSERT_EQ(::connect(second.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        // Several pauses long: the accepts tried meanwhile fail again without a word.
        const bool paused = waitFor([&] { return pauses >= 5; });
        QObject::disconnect(counting);
        ASSERT_TRUE(paused);
        EXPECT_EQ(l.server.Socket()->ActiveConnections(), 0);
        EXPECT_TRUE(l.server.Active());
    }
    EXPECT_EQ(takeErrors(), std::vector<std::string>{"Asynchronous socket error " + std::to_string(EMFILE)});
    EXPECT_EQ(l.clientErrors, (std::vector<std::pair<TErrorEvent, int>>{{eeAccept, EMFILE}}));

    ASSERT_TRUE(waitFor([&] { return l.server.Socket()->ActiveConnections() == 2; }));
    EXPECT_TRUE(l.server.Active());
    sendRaw(second.get(), "through");
    EXPECT_TRUE(waitFor([&] { return l.received == "through"; }));
}

TEST_F(ServerSocketTest, FailingListeningSocketStopsWithActiveFalse)
{
    Listener l;
    l.server.SetActive(true);
    Fd peer = l.connectPeer();
    const std::size_t eventsBefore = l.events.size();
    bool activeInHandler = true;
    TCustomWinSocket* failed = nullptr;
    l.server.OnClientError = [&](QObject* sender, TCustomWinSocket* socket, TErrorEvent kind, int& code) {
        EXPECT_EQ(sender, l.server.Socket());
        l.clientErrors.emplace_back(kind, code);
        activeInHandler = l.server.Active();
        failed = socket;
    };
    // A listening socket shut down no longer accepts: its next accept fails for good.
    ASSERT_EQ(::shutdown(l.server.Socket()->SocketHandle(), SHUT_RDWR), 0);
    ASSERT_TRUE(waitFor([&] { return !errors.empty(); }));
    EXPECT_EQ(takeErrors(), std::vector<std::string>{"Asynchronous socket error " + std::to_string(EINVAL)});
    EXPECT_EQ(l.clientErrors, (std::vector<std::pair<TErrorEvent, int>>{{eeAccept, EINVAL}}));
    EXPECT_EQ(failed, l.server.Socket());
    EXPECT_FALSE(activeInHandler);
    EXPECT_FALSE(l.server.Active());
    EXPECT_EQ(l.server.Socket()->SocketHandle(), -1);
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 0);
    EXPECT_TRUE(waitPeerClosed(peer.get()));
    EXPECT_EQ(l.events.size(), eventsBefore) << "connections end without events, as when Active is set to false";

    l.server.SetActive(true);
    Fd again = l.connectPeer();
    EXPECT_EQ(l.server.Socket()->ActiveConnections(), 1);
}

TEST_F(ServerSocketTest, DestroyingTheComponentClosesEverythingSilently)
{
    Fd first, second;
    std::vector<std::string> events;
    {
        Listener l;
        l.server.SetActive(true);
        first = l.connectPeer();
        second = l.connectPeer();
        l.server.OnClientDisconnect = [&](QObject*, TCustomWinSocket*) { events.emplace_back("clientdisconnect"); };
    }
    EXPECT_TRUE(waitPeerClosed(first.get()));
    EXPECT_TRUE(waitPeerClosed(second.get()));
    EXPECT_TRUE(events.empty());
}

} // namespace
