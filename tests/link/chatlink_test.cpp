// ChatLink over loopback against raw peers, with a front end that records
// what it is told.
#include "link/chatlink.h"
#include "portmap/portmapper.h"
#include "tests/support/netsupport.h"
#include "tests/support/standinmapper.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using nettest::Fd;

class RecordingFront : public ChatFront {
public:
    QStringList incoming, statuses, errors;
    std::vector<ConnectionFailure> failures;
    bool listenMark = false;
    int chatsStarted = 0;
    int chatsEnded = 0;

    void appendIncoming(const QString& line) override { incoming << line; }
    void setStatus(const QString& text) override { statuses << text; }
    void showError(const std::exception& error) override { errors << QString::fromUtf8(error.what()); }
    bool connectionFailed(const ConnectionFailure& failure) override
    {
        failures.push_back(failure);
        return true;
    }
    void listenMarkChanged(bool on) override { listenMark = on; }
    void chatStarting(bool) override { ++chatsStarted; }
    void chatEnded() override { ++chatsEnded; }
    QStringList mappings, mappingFailures;
    void portMappingChanged(const QString& line) override { mappings << line; }
    void portMappingFailed(const QString& line) override { mappingFailures << line; }
};

// Reads from a raw peer until the link's server key message has come.
bool waitForKeyMessage(int fd)
{
    std::string received;
    return nettest::waitFor(
        [&] {
            received += nettest::readRawNow(fd);
            return received.find("//") != std::string::npos;
        },
        30000);
}

class LinkTest : public nettest::NetTest {
protected:
    void listen(ChatLink& link)
    {
        link.setPort(port);
        link.toggleListen();
        ASSERT_TRUE(link.serverSocket()->Active());
    }

    std::uint16_t port = nettest::freePort();
    RecordingFront front;
};

class LinkMapping : public LinkTest {
protected:
    // What the link asked of the mapper since the last look.
    std::vector<std::string> newCalls()
    {
        if (!mapper)
            return {};
        std::vector<std::string> calls;
        calls.swap(mapper->calls);
        return calls;
    }

    std::vector<std::string> started() const { return {"start " + std::to_string(port)}; }

    StandInMappers mappers;
    StandInMapper*& mapper = mappers.mapper;
};

using Calls = std::vector<std::string>;

} // namespace

// The forwarding lasts as long as listening: the Listen command, Disconnect
// of the listening role and the shut-down end it; a chat that ends, after
// which the socket opens afresh, does not.
TEST_F(LinkMapping, TheForwardingFollowsListening)
{
    ChatLink link(front, ChatLink::AfterChat::ListenAgain);
    EXPECT_EQ(mapper, nullptr) << "the mapper is made when listening first asks for it";
    listen(link);
    EXPECT_EQ(newCalls(), started());

    emit mapper->mapped(QStringLiteral("203.0.113.7"), 40000, QStringLiteral("UPnP-IGD"));
    emit mapper->mapped(QStringLiteral("2001:db8::7"), 1024, QStringLiteral("NAT-PMP"));
    EXPECT_EQ(front.mappings, QStringList({"Port mapped: peers on the internet connect to 203.0.113.7:40000 (UPnP-IGD)",
                                           "Port mapped: peers on the internet connect to [2001:db8::7]:1024 (NAT-PMP)"}));

    Fd peer = nettest::connectRaw(port);
    ASSERT_TRUE(waitForKeyMessage(peer.get()));
    peer.reset();
    ASSERT_TRUE(nettest::waitFor([&] { return front.chatsEnded == 1; }, 30000));
    ASSERT_TRUE(link.serverSocket()->Active());
    EXPECT_EQ(newCalls(), Calls()) << "the socket opened afresh after a chat keeps the forwarding";

    link.toggleListen();
    EXPECT_EQ(newCalls(), Calls({"stop"}));
    EXPECT_EQ(front.mappings.size(), 3);
    EXPECT_EQ(front.mappings.last(), "") << "the front end is told the forwarding has gone";
    emit mapper->mapped(QStringLiteral("203.0.113.7"), 40000, QStringLiteral("UPnP-IGD"));
    EXPECT_EQ(front.mappings.size(), 3) << "news of a forwarding no longer wanted is dropped";

    link.hangUp();
    EXPECT_TRUE(link.serverSocket()->Active());
    EXPECT_EQ(newCalls(), started());
    link.hangUp();
    EXPECT_FALSE(link.serverSocket()->Active());
    EXPECT_EQ(newCalls(), Calls({"stop"}));

    link.toggleListen();
    EXPECT_EQ(newCalls(), started());
    emit mapper->mapped(QStringLiteral("203.0.113.7"), 40000, QStringLiteral("UPnP-IGD"));
    const QStringList mappings = front.mappings;
    link.shutDown();
    EXPECT_EQ(newCalls(), Calls({"stop"}));
    EXPECT_EQ(front.mappings, mappings) << "nothing reaches the front end after the shut-down";
    EXPECT_TRUE(front.mappingFailures.isEmpty());
    EXPECT_EQ(front.statuses.count(""), 2) << "the status texts are those of listening alone";
}

// A failure is said once, however often listening asks again; turning the
// mapping off removes the forwarding, and on again asks anew.
TEST_F(LinkMapping, AFailureIsSaidOnceAndTheSwitchHoldsForTheSession)
{
    ChatLink link(front, ChatLink::AfterChat::ListenAgain);
    link.setPortMapping(false);
    listen(link);
    EXPECT_EQ(newCalls(), Calls());

    link.setPortMapping(true);
    EXPECT_EQ(newCalls(), started());
    const QString reason = QStringLiteral("No router on this network answered.");
    emit mapper->failed(reason);
    EXPECT_EQ(front.mappingFailures, QStringList({"No port mapping: " + reason}));
    link.toggleListen();
    link.toggleListen();
    EXPECT_EQ(newCalls(), Calls({"stop", "start " + std::to_string(port)}));
    emit mapper->failed(reason);
    EXPECT_EQ(front.mappingFailures.size(), 1) << "the same failure is not said again";

    link.setPortMapping(false);
    EXPECT_EQ(newCalls(), Calls({"stop"}));
    EXPECT_TRUE(link.serverSocket()->Active()) << "listening goes on without the forwarding";
    link.setPortMapping(true);
    EXPECT_EQ(newCalls(), started());
    emit mapper->failed(reason);
    EXPECT_EQ(front.mappingFailures.size(), 2) << "turned on again, the failure is news";

    // A forwarding the router ends is gone from the front end too.
    link.toggleListen();
    link.toggleListen();
    emit mapper->mapped(QStringLiteral("203.0.113.7"), 1024, QStringLiteral("NAT-PMP"));
    emit mapper->failed(QStringLiteral("The router stopped forwarding port 1024."));
    EXPECT_EQ(front.mappings.last(), "");
    EXPECT_EQ(front.mappingFailures.last(), "No port mapping: The router stopped forwarding port 1024.");
    EXPECT_TRUE(front.errors.isEmpty());
}

// Links made without a mapper factory (the suites' own) never map.
TEST_F(LinkTest, WithoutAMapperListeningAsksNoRouter)
{
    ChatLink link(front, ChatLink::AfterChat::ListenAgain);
    listen(link);
    EXPECT_TRUE(link.portMapping());
    EXPECT_EQ(link.findChild<PortMapper*>(), nullptr);
}

TEST_F(LinkTest, ListenAndAFailedAttemptSayWhatTheyDid)
{
    ChatLink link(front, ChatLink::AfterChat::ListenAgain);
    listen(link);
    EXPECT_TRUE(front.listenMark);
    EXPECT_EQ(front.statuses, QStringList({"Listening..."}));
    link.toggleListen();
    EXPECT_FALSE(front.listenMark);
    EXPECT_FALSE(link.serverSocket()->Active());
    EXPECT_EQ(front.statuses, QStringList({"Listening...", ""}));

    // Nothing listens on the other port: the attempt fails later, said once.
    link.clientSocket()->SetPort(nettest::freePort());
    link.connectTo(QStringLiteral("127.0.0.1"));
    EXPECT_EQ(link.lastAddress(), "127.0.0.1");
    ASSERT_TRUE(nettest::waitFor([&] { return !front.failures.empty(); }, 30000));
    const ConnectionFailure& failure = front.failures.front();
    EXPECT_EQ(failure.kind, ConnectionFailure::Kind::Attempt);
    EXPECT_EQ(failure.notice, "Error connecting to : 127.0.0.1");
    EXPECT_FALSE(failure.reason.isEmpty());
    EXPECT_FALSE(failure.ofTheChat);
    EXPECT_EQ(front.statuses.size(), 2) << "a failed attempt leaves the status alone";
    EXPECT_EQ(front.chatsStarted, 0);
}

TEST_F(LinkTest, ASecondPeerIsClosedOnArrivalAndTheFirstKeepsItsChat)
{
    ChatLink link(front, ChatLink::AfterChat::ListenAgain);
    listen(link);
    Fd first = nettest::connectRaw(port);
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(waitForKeyMessage(first.get()));
    EXPECT_EQ(front.chatsStarted, 1);
    EXPECT_EQ(front.statuses.last(), "Connected to: 127.0.0.1");
    EXPECT_TRUE(link.peerConnected());

    // The second peer's arrival and refusal are one notification: once it
    // sees the end of its stream, the link has done all it will for it.
    Fd second = nettest::connectRaw(port);
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(nettest::waitPeerClosed(second.get(), 30000));
    EXPECT_EQ(nettest::readRawNow(second.get()), "") << "a refused peer gets no key message";
    EXPECT_EQ(front.chatsStarted, 1);
    EXPECT_EQ(front.statuses.last(), "Connected to: 127.0.0.1");
    EXPECT_TRUE(link.peerConnected());
    EXPECT_FALSE(nettest::peerClosed(first.get()));
    EXPECT_EQ(front.chatsEnded, 0);
    EXPECT_TRUE(front.failures.empty());
}

class LinkAfterChat : public LinkTest, public testing::WithParamInterface<ChatLink::AfterChat> {};

TEST_P(LinkAfterChat, ThePeerLeavingEndsTheChatAndListensAgainOnlyWhenAsked)
{
    const bool listensAgain = GetParam() == ChatLink::AfterChat::ListenAgain;
    ChatLink link(front, GetParam());
    listen(link);
    Fd peer = nettest::connectRaw(port);
    ASSERT_TRUE(waitForKeyMessage(peer.get()));
    peer.reset();
    // The chat's end and what follows it are one notification.
    ASSERT_TRUE(nettest::waitFor([&] { return front.chatsEnded == 1; }, 30000));
    EXPECT_FALSE(link.peerConnected());
    EXPECT_TRUE(link.serverSocket()->Active());
    EXPECT_TRUE(front.listenMark);
    EXPECT_EQ(front.statuses.count("Listening..."), listensAgain ? 2 : 1) << front.statuses.join('|').toStdString();
    EXPECT_EQ(front.statuses.last().startsWith("Connected to: "), !listensAgain);
    EXPECT_TRUE(front.errors.isEmpty()) << front.errors.join('\n').toStdString();

    // Shut down, the link tells nothing more, not even the end of the
    // outgoing chat it closes.
    std::uint16_t rawPort = 0;
    const Fd rawListener = nettest::listenRaw(rawPort);
    link.clientSocket()->SetPort(rawPort);
    link.connectTo(QStringLiteral("127.0.0.1"));
    const Fd accepted = nettest::acceptRaw(rawListener.get(), 30000);
    ASSERT_TRUE(accepted.valid());
    std::string keyMessage;
    ASSERT_TRUE(nettest::waitFor(
        [&] {
            keyMessage += nettest::readRawNow(accepted.get());
            return keyMessage.find("::") != std::string::npos;
        },
        30000));
    ASSERT_TRUE(link.peerConnected());
    const QStringList statuses = front.statuses;
    link.shutDown();
    EXPECT_FALSE(link.serverSocket()->Active());
    EXPECT_FALSE(link.clientSocket()->Active());
    EXPECT_TRUE(nettest::waitPeerClosed(accepted.get(), 30000));
    EXPECT_EQ(front.chatsEnded, 1);
    EXPECT_EQ(front.statuses, statuses);
}

INSTANTIATE_TEST_SUITE_P(Ways, LinkAfterChat,
                         testing::Values(ChatLink::AfterChat::ListenAgain, ChatLink::AfterChat::Stay),
                         [](const testing::TestParamInfo<ChatLink::AfterChat>& info) {
                             return std::string(info.param == ChatLink::AfterChat::ListenAgain ? "ListenAgain"
                                                                                                : "Stay");
                         });

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
