// Sends larger than the system takes at once: the untaken rest is queued and
// goes out in order as the peer reads.
#include "tests/net/localsupport.h"
#include "tests/support/propertyseed.h"

#include <QPointer>

#include <random>

using namespace ScktComp;
using namespace nettest;

namespace {

using SendQueueTest = NetTest;

// More than any system's socket buffers hold between two loopback ends.
constexpr std::size_t kCeiling = 64u << 20;

std::string patterned(std::size_t length, std::mt19937& random)
{
    std::string text(length, '\0');
    for (auto& byte : text)
        byte = static_cast<char>(random() & 0xff);
    return text;
}

// A raw peer with a small receive buffer, connected to a listening component.
struct SlowPeer {
    explicit SlowPeer(std::uint16_t port)
    {
        fd = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int small = 4096;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a = loopback(port);
        connected = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    // Takes at most `limit` bytes that have arrived.
    void readSome(std::size_t limit)
    {
        const std::string part = readRawNow(fd.get(), limit);
        received += part;
    }
    Fd fd;
    bool connected = false;
    std::string received;
};

TEST_F(SendQueueTest, MegabytesReachASlowReaderCompleteAndInOrder)
{
    const uint64_t seed = PropertySeed("MegabytesReachASlowReaderCompleteAndInOrder");
    SCOPED_TRACE("VELMORA_TEST_SEED=" + std::to_string(seed));
    std::mt19937 random(static_cast<unsigned>(seed));

    TServerSocket server;
    server.SetActive(true);
    std::string expected;
    int writes = 0;
    QPointer<TCustomWinSocket> connection;
    server.OnClientWrite = [&](QObject*, TCustomWinSocket*) { ++writes; };
    server.OnAccept = [&](QObject*, TCustomWinSocket* socket) { connection = socket; };

    SlowPeer peer(localPort(server.Socket()->SocketHandle()));
    ASSERT_TRUE(peer.connected);
    ASSERT_TRUE(waitFor([&] { return connection && writes == 1; })) << "one write event once the connection stands";

    // Texts of up to a megabyte and a half each, at least four and in all
    // more than the system buffers take, each counted as taken whole.
    int texts = 0;
    while ((texts < 4 || connection->PendingSendBytes() == 0) && expected.size() < kCeiling) {
        const std::string text = patterned(250'000 + random() % 1'250'000, random);
        EXPECT_EQ(connection->SendTextOnce(text), static_cast<int>(text.size()));
        expected += text;
        ++texts;
    }
    ASSERT_GT(connection->PendingSendBytes(), 0u) << "the system took " << expected.size() << " bytes at once";
    EXPECT_LE(connection->PendingSendBytes(), expected.size());
    EXPECT_EQ(connection->SendTextOnce("TAIL"), 4);
    expected += "TAIL";

    const bool complete = waitFor(
        [&] {
            peer.readSome(1 + random() % 16384);
            return peer.received.size() >= expected.size();
        },
        60000);
    ASSERT_TRUE(complete) << peer.received.size() << " of " << expected.size() << " bytes arrived";
    EXPECT_TRUE(peer.received == expected) << "bytes arrived out of order or changed";
    EXPECT_EQ(connection->PendingSendBytes(), 0u);
    EXPECT_TRUE(waitFor([&] { return writes == 2; })) << "a write event once the queue has drained";
    ASSERT_TRUE(drainPending());
    EXPECT_EQ(writes, 2);
}

TEST_F(SendQueueTest, SendsFromTheWriteEventKeepTheirOrder)
{
    // A small receive window on the listener passes to the connection it accepts.
    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a = loopback(0);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    const std::uint16_t port = localPort(listener.get());
    TClientSocket client;
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    client.SetActive(true);
    Fd peer = acceptRaw(listener.get());
    ASSERT_TRUE(waitFor([&] { return client.Active(); }));

    std::mt19937 random(7);
    std::string big;
    while (client.Socket()->PendingSendBytes() == 0 && big.size() < kCeiling) {
        const std::string text = patterned(1'000'000, random);
        ASSERT_EQ(client.Socket()->SendTextOnce(text), static_cast<int>(text.size()));
        big += text;
    }
    ASSERT_GT(client.Socket()->PendingSendBytes(), 0u);
    int writes = 0;
    client.OnWrite = [&](QObject*, TCustomWinSocket* socket) {
        if (++writes == 1)
            socket->SendTextOnce("after the drain");
    };
    EXPECT_EQ(client.Socket()->SendTextOnce("queued"), 6);

    std::string received;
    const std::string expected = big + "queued" + "after the drain";
    ASSERT_TRUE(waitFor(
        [&] {
            received += readRawNow(peer.get(), 65536);
            return received.size() >= expected.size();
        },
        30000)) << received.size() << " of " << expected.size() << " writes " << writes << " pending "
                << client.Socket()->PendingSendBytes();
    EXPECT_TRUE(received == expected);
}

TEST_F(SendQueueTest, ClosingDiscardsTheQueue)
{
    TServerSocket server;
    server.SetActive(true);
    SlowPeer peer(localPort(server.Socket()->SocketHandle()));
    ASSERT_TRUE(waitFor([&] { return server.Socket()->ActiveConnections() == 1; }));
    TServerClientWinSocket* connection = server.Socket()->ConnectionAt(0);
    std::mt19937 random(11);
    connection->SendTextOnce(patterned(4'000'000, random));
    ASSERT_GT(connection->PendingSendBytes(), 0u);
    int disconnects = 0;
    server.OnClientDisconnect = [&](QObject*, TCustomWinSocket*) { ++disconnects; };
    connection->Close();
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(connection->PendingSendBytes(), 0u);
    EXPECT_EQ(connection->SendTextOnce("more"), 0);
    EXPECT_TRUE(waitFor([&] { return server.Socket()->ActiveConnections() == 0; }));
}

} // namespace
