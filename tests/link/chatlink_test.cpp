// ChatLink over loopback against raw peers, with a front end that records
// what it is told.
#include "link/chatlink.h"
#include "tests/support/netsupport.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

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

} // namespace

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
