// Two chat windows in one process over loopback, and a window facing a peer
// driven by hand.
#include "tests/support/apptestsupport.h"

#include "app/chatlook.h"
#include "session/chatsession.h"
#include "app/chatform.h"
#include "bignum/GInt.h"
#include "cipher/RSA.h"
#include "primes/KeyPair.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

QStringList lines(const QPlainTextEdit* pane)
{
    return pane->toPlainText().split(u'\n');
}

void type(TChatForm& form, const QString& text)
{
    form.Edit1->setText(text);
    QTest::keyClick(form.Edit1, Qt::Key_Return);
}

// A listening window and a connecting window sharing one set of dialogs.
class TwoWindows : public testing::Test {
protected:
    void SetUp() override
    {
        port = freePort();
        server.link().serverSocket()->SetPort(port);
        server.link().clientSocket()->SetPort(freePort());
        client.link().clientSocket()->SetPort(port);
        client.link().serverSocket()->SetPort(freePort());
        ScktComp::SetApplicationErrorHandler([this](const std::exception& error) { server.ShowError(error); });
        server.show();
        client.show();
    }
    void TearDown() override { ScktComp::SetApplicationErrorHandler(nullptr); }

    // Listen on one side, connect from the other, wait for both key messages.
    void connectWindows()
    {
        if (!server.FileListenItem->isChecked())
            server.FileListenItem->trigger();
        ASSERT_EQ(server.status(), "Listening...");
        dialogs.answers.push_back(QString("127.0.0.1"));
        client.FileConnectItem->trigger();
        ASSERT_TRUE(waitUntil([this] {
            return server.status().startsWith("Connected to: ") && client.status().startsWith("Connected to: ")
                && !server.session().awaitingKey() && !client.session().awaitingKey();
        })) << "server: " << server.status().toStdString() << ", client: " << client.status().toStdString();
        ASSERT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
    }

    int port = 0;
    FakeDialogs dialogs;
    TChatForm server{dialogs};
    TChatForm client{dialogs};
};

} // namespace

TEST_F(TwoWindows, LinesTravelBothWays)
{
    server.Memo2->setPlainText("left over");
    connectWindows();
    EXPECT_EQ(server.status(), "Connected to: 127.0.0.1");
    EXPECT_EQ(server.Memo2->toPlainText(), "");
    EXPECT_TRUE(server.session().serverRole());
    EXPECT_FALSE(client.session().serverRole());
    EXPECT_TRUE(server.FileListenItem->isChecked());
    EXPECT_FALSE(client.FileListenItem->isChecked());
    EXPECT_TRUE(client.link().clientSocket()->Active());

    // Pasted, so that the input line records the edit; sending drops the
    // record, or every line sent would stay behind in the input line.
    server.Edit1->insert("hello from the listening side");
    QTest::keyClick(server.Edit1, Qt::Key_Return);
    EXPECT_EQ(server.Edit1->text(), "");
    EXPECT_FALSE(server.Edit1->isUndoAvailable());
    EXPECT_EQ(server.Memo1->toPlainText(), "hello from the listening side");
    ASSERT_TRUE(waitUntil([this] { return !client.Memo2->toPlainText().isEmpty(); }));
    EXPECT_EQ(client.Memo2->toPlainText(), "hello from the listening side");

    type(client, QStringLiteral("gr\u00fc\u00df dich \u2014 \u4f60\u597d"));
    ASSERT_TRUE(waitUntil([this] { return !server.Memo2->toPlainText().isEmpty(); }));
    EXPECT_EQ(server.Memo2->toPlainText(), QStringLiteral("gr\u00fc\u00df dich \u2014 \u4f60\u597d"));
    EXPECT_EQ(client.Memo1->toPlainText(), QStringLiteral("gr\u00fc\u00df dich \u2014 \u4f60\u597d"));

    // One message per read: each line waits for the one before to arrive.
    type(client, "");
    ASSERT_TRUE(waitUntil([this] { return lines(server.Memo2).size() == 2; }));
    type(client, "after the empty one");
    ASSERT_TRUE(waitUntil([this] { return lines(server.Memo2).size() == 3; }));
    EXPECT_EQ(lines(server.Memo2).value(1), "");
    EXPECT_EQ(lines(server.Memo2).value(2), "after the empty one");
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

TEST_F(TwoWindows, PeerClosesTheAcceptedConnection)
{
    connectWindows();
    type(client, "bye");
    ASSERT_TRUE(waitUntil([this] { return server.Memo2->toPlainText() == "bye"; }));

    // Disconnect while connected out: the Listen command runs twice, the
    // connecting window ends idle.
    client.Disconnect1->trigger();
    EXPECT_FALSE(client.FileListenItem->isChecked());
    EXPECT_FALSE(client.link().serverSocket()->Active());
    EXPECT_FALSE(client.link().clientSocket()->Active());
    EXPECT_EQ(client.status(), "");

    // The listening window listens again and keeps its lines.
    ASSERT_TRUE(waitUntil([this] { return server.status() == "Listening..."; }));
    EXPECT_TRUE(server.FileListenItem->isChecked());
    EXPECT_TRUE(server.link().serverSocket()->Active());
    EXPECT_EQ(server.Memo2->toPlainText(), "bye");

    // The server role has nobody to send to now.
    type(server, "anyone?");
    ASSERT_EQ(dialogs.errors, QStringList({"List index out of bounds (0)"}));
    EXPECT_EQ(server.Edit1->text(), "anyone?");
    EXPECT_EQ(server.Memo1->toPlainText(), "");

    // A new peer: the pane is emptied, fresh keys are made.
    dialogs.errors.clear();
    connectWindows();
    EXPECT_EQ(server.Memo2->toPlainText(), "");
    type(client, "again");
    ASSERT_TRUE(waitUntil([this] { return server.Memo2->toPlainText() == "again"; }));
}

TEST_F(TwoWindows, PeerClosesTheConnectionMadeOut)
{
    connectWindows();
    // Disconnect while connected in: every connection closes, the window is idle.
    server.Disconnect1->trigger();
    EXPECT_FALSE(server.FileListenItem->isChecked());
    EXPECT_FALSE(server.link().serverSocket()->Active());
    EXPECT_EQ(server.status(), "");

    // The connecting window starts listening with the mark on.
    ASSERT_TRUE(waitUntil([this] { return client.status() == "Listening..."; }));
    EXPECT_TRUE(client.FileListenItem->isChecked());
    EXPECT_TRUE(client.link().serverSocket()->Active());
    EXPECT_FALSE(client.link().clientSocket()->Active());

    // The client role after the end: nothing is sent, the line stays.
    type(client, "too late");
    EXPECT_EQ(client.Edit1->text(), "too late");
    EXPECT_EQ(client.Memo1->toPlainText(), "");
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

TEST_F(TwoWindows, ListenWhileConnectedOutEndsListeningWithTheMarkOff)
{
    connectWindows();
    client.FileListenItem->trigger();
    EXPECT_FALSE(client.link().clientSocket()->Active());
    EXPECT_TRUE(client.link().serverSocket()->Active());
    EXPECT_FALSE(client.FileListenItem->isChecked());
    EXPECT_EQ(client.status(), "Listening...");
    ASSERT_TRUE(waitUntil([this] { return server.status() == "Listening..."; }));
}

TEST_F(TwoWindows, ConnectWhileConnectedOutClosesFirstThenPrompts)
{
    connectWindows();
    dialogs.answers.push_back(std::nullopt);
    client.SpeedButton1->click();
    EXPECT_FALSE(client.link().clientSocket()->Active());
    EXPECT_TRUE(client.link().serverSocket()->Active());
    EXPECT_TRUE(client.FileListenItem->isChecked());
    EXPECT_EQ(client.status(), "Listening...");
    EXPECT_EQ(dialogs.promptInitialTexts.last(), "127.0.0.1");
    EXPECT_EQ(client.lastAddress(), "127.0.0.1");
}

// Exit while connected out: the window closes with nothing left open, not
// even the listening that the end of its chat would start.
TEST_F(TwoWindows, ExitWhileConnectedOutLeavesNothingOpen)
{
    connectWindows();
    client.Exit1->trigger();
    EXPECT_FALSE(client.isVisible());
    EXPECT_FALSE(client.link().clientSocket()->Active());
    EXPECT_FALSE(client.link().serverSocket()->Active());
    ASSERT_TRUE(waitUntil([this] { return server.status() == "Listening..."; }));
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

// Connecting out while a peer is connected in would make both peers share
// one set of session keys: the inbound chat ends first, as Disconnect ends it.
TEST_F(TwoWindows, ConnectWhileConnectedInEndsTheInboundChatFirst)
{
    connectWindows();
    RawListener third;
    server.link().clientSocket()->SetPort(third.port());
    dialogs.answers.push_back(QString("127.0.0.1"));
    server.FileConnectItem->trigger();
    EXPECT_FALSE(server.link().serverSocket()->Active());
    EXPECT_EQ(server.link().serverSocket()->Socket()->ActiveConnections(), 0);
    EXPECT_FALSE(server.FileListenItem->isChecked());
    EXPECT_EQ(server.status(), "");

    RawEnd peer = third.accept();
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitUntil([&] {
        peer.pump();
        return peer.received().find("::") != std::string::npos;
    }));
    EXPECT_FALSE(server.session().serverRole());
    EXPECT_TRUE(server.session().awaitingKey());
    // The peer that was connected in saw its connection end and listens again.
    ASSERT_TRUE(waitUntil([this] { return client.status() == "Listening..."; }));
    EXPECT_EQ(server.Memo2->toPlainText(), "") << "the inbound chat ends without events";
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

// Listening and connected out at once: a peer connecting in is closed on
// arrival, and the outgoing chat keeps its keys.
TEST_F(TwoWindows, IncomingPeerWhileConnectedOutIsClosed)
{
    const int clientPort = freePort();
    client.link().serverSocket()->SetPort(clientPort);
    client.FileListenItem->trigger();
    connectWindows();
    ASSERT_TRUE(client.link().serverSocket()->Active());

    RawEnd intruder = RawEnd::connectTo(clientPort);
    ASSERT_TRUE(intruder.valid());
    ASSERT_TRUE(intruder.waitClosed());
    EXPECT_EQ(intruder.received(), "");
    EXPECT_FALSE(client.session().serverRole());
    EXPECT_FALSE(client.session().awaitingKey());
    EXPECT_TRUE(client.status().startsWith("Connected to: "));

    type(server, "still yours");
    ASSERT_TRUE(waitUntil([this] { return client.Memo2->toPlainText() == "still yours"; }))
        << client.Memo2->toPlainText().toStdString();
    type(client, "and yours");
    ASSERT_TRUE(waitUntil([this] { return server.Memo2->toPlainText() == "and yours"; }))
        << server.Memo2->toPlainText().toStdString();
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

TEST_F(TwoWindows, FurtherIncomingConnectionIsClosedAndTheChatGoesOn)
{
    connectWindows();
    type(client, "first peer");
    ASSERT_TRUE(waitUntil([this] { return server.Memo2->toPlainText() == "first peer"; }));
    const QString status = server.status();
    std::string modulus;
    GInt::NumToDecimal(modulus, server.session().serverKey().Modulus);

    RawEnd intruder = RawEnd::connectTo(port);
    ASSERT_TRUE(intruder.valid());
    ASSERT_TRUE(intruder.waitClosed());
    EXPECT_EQ(intruder.received(), "");
    // Nothing more may follow from the intruder's visit.
    drainEvents();

    EXPECT_EQ(server.status(), status);
    EXPECT_EQ(server.Memo2->toPlainText(), "first peer");
    std::string modulusAfter;
    GInt::NumToDecimal(modulusAfter, server.session().serverKey().Modulus);
    EXPECT_EQ(modulusAfter, modulus);
    EXPECT_TRUE(server.link().serverSocket()->Active());
    EXPECT_TRUE(server.FileListenItem->isChecked());
    EXPECT_FALSE(server.session().awaitingKey());

    type(server, "still with you");
    ASSERT_TRUE(waitUntil([this] { return client.Memo2->toPlainText() == "still with you"; }));
    type(client, "me too");
    ASSERT_TRUE(waitUntil([this] { return lines(server.Memo2).size() == 2; }));
    EXPECT_EQ(lines(server.Memo2).value(1), "me too");
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

namespace {

// A connecting window facing a listener driven by hand.
class WindowAndRawPeer : public testing::Test {
protected:
    void SetUp() override
    {
        form.link().clientSocket()->SetPort(listener.port());
        form.link().serverSocket()->SetPort(freePort());
        ScktComp::SetApplicationErrorHandler([this](const std::exception& error) { form.ShowError(error); });
        form.show();
        dialogs.answers.push_back(QString("127.0.0.1"));
        form.FileConnectItem->trigger();
        peer = listener.accept();
        ASSERT_TRUE(peer.valid());
        ASSERT_TRUE(waitUntil([this] {
            peer.pump();
            return peer.received().find("::") != std::string::npos;
        }));
        ASSERT_TRUE(form.session().awaitingKey());
    }
    void TearDown() override { ScktComp::SetApplicationErrorHandler(nullptr); }

    // Sends one message and waits until the window has dealt with it.
    void sendAndWait(const std::string& message, const std::function<bool()>& done)
    {
        peer.send(message);
        ASSERT_TRUE(waitUntil(done));
    }

    FakeDialogs dialogs;
    TChatForm form{dialogs};
    RawListener listener;
    RawEnd peer;
};

} // namespace

TEST_F(WindowAndRawPeer, KeyExchangeRefusalsThenChat)
{
    const std::string clientKeyMessage = peer.received();
    peer.received().clear();
    EXPECT_EQ(clientKeyMessage.find("::"), clientKeyMessage.rfind("::"));

    // Enter while the key exchange is open: nothing sent, the line stays. A
    // message sent now would also come ahead of the line checked below.
    type(form, "early");
    peer.pump();
    EXPECT_EQ(peer.received(), "");
    EXPECT_EQ(form.Edit1->text(), "early");
    EXPECT_EQ(form.Memo1->toPlainText(), "");

    // A malformed key message: a clear error, the key is still awaited.
    sendAndWait("abc//123", [this] { return !dialogs.errors.isEmpty(); });
    EXPECT_EQ(dialogs.errors.value(0),
              "The peer's key message is malformed: a number is not a plain decimal number.");
    EXPECT_TRUE(form.session().awaitingKey());
    sendAndWait("12::77", [this] { return dialogs.errors.size() == 2; });
    EXPECT_EQ(dialogs.errors.value(1), "The peer's key message is malformed: the separator // is missing.");
    EXPECT_TRUE(form.session().awaitingKey());
    EXPECT_EQ(form.Memo2->toPlainText(), "");

    // A genuine server key.
    PrimeGeneration::KeyPair serverKey;
    std::string d, n;
    PrimeGeneration::GenerateKeyPair(serverKey, d, n);
    sendAndWait(d + "//" + n, [this] { return !form.session().awaitingKey(); });

    // Now Enter sends the line, encrypted under the client key it announced.
    type(form, "early");
    EXPECT_EQ(form.Edit1->text(), "");
    EXPECT_EQ(form.Memo1->toPlainText(), "early");
    const auto separator = clientKeyMessage.find("::");
    GInt::OwnedNum clientD, clientN;
    GInt::DecimalToNum(clientKeyMessage.substr(0, separator), clientD.out());
    GInt::DecimalToNum(clientKeyMessage.substr(separator + 2), clientN.out());
    // The message may reach the peer in pieces: it is whole once it reads as the line.
    ASSERT_TRUE(waitUntil([&] {
        peer.pump();
        try {
            return RSA::DecryptLine(peer.received(), clientD.get(), clientN.get()) == "early";
        } catch (const RSA::ECipherError&) {
            return false;
        }
    }));
    EXPECT_EQ(RSA::DecryptLine(peer.received(), clientD.get(), clientN.get()), "early");

    // Bytes from the peer that read as no line are dropped with one error
    // each time; a genuine line after them is shown. Bytes of value 1 code
    // zero bits only, so no key finds a line's marker in them (a run of one
    // letter reads as a line under a few keys in a hundred).
    dialogs.errors.clear();
    sendAndWait(std::string(20000, '\x01'), [this] { return !dialogs.errors.isEmpty(); });
    EXPECT_EQ(dialogs.errors.value(0),
              "The received data cannot be decrypted: 20000 bytes that read as no line were dropped.");
    EXPECT_EQ(form.Memo2->toPlainText(), "");

    sendAndWait(std::string(8, '\x01'), [this] { return dialogs.errors.size() == 2; });
    EXPECT_TRUE(dialogs.errors.value(1).startsWith("The received data cannot be decrypted: 8 bytes"));

    sendAndWait(RSA::EncryptLine("genuine", serverKey.EncryptExponent, serverKey.Modulus),
                [this] { return !form.Memo2->toPlainText().isEmpty(); });
    EXPECT_EQ(form.Memo2->toPlainText(), "genuine");
    EXPECT_EQ(dialogs.errors.size(), 2);
}

namespace {

bool showsPicture(const TChatForm& form, const QString& name)
{
    return form.Image1->pixmap().toImage() == chatPicture(name, form.devicePixelRatioF()).toImage();
}

} // namespace

TEST_F(TwoWindows, LockClosesWhenBothKeysHaveCrossedAndOpensWhenTheConnectionEnds)
{
    for (const TChatForm* form : {&server, &client}) {
        EXPECT_FALSE(form->keysCrossedShown());
        EXPECT_TRUE(showsPicture(*form, "lock-open"));
        EXPECT_TRUE(form->Image1->toolTip().startsWith("Open lock"));
    }
    for (int round = 0; round < 2; ++round) {
        connectWindows();
        for (const TChatForm* form : {&server, &client}) {
            EXPECT_TRUE(form->keysCrossedShown());
            EXPECT_TRUE(showsPicture(*form, "lock-closed"));
            EXPECT_TRUE(form->Image1->toolTip().startsWith("Closed lock"));
            EXPECT_EQ(form->Image1->pixmap().deviceIndependentSize(), QSizeF(32, 32));
        }
        // The status texts are as they always were.
        EXPECT_EQ(server.status(), "Connected to: 127.0.0.1");
        EXPECT_TRUE(client.status().startsWith("Connected to: "));

        // Either side ending the connection opens both locks.
        TChatForm& closing = round == 0 ? client : server;
        TChatForm& other = round == 0 ? server : client;
        closing.Disconnect1->trigger();
        EXPECT_FALSE(closing.keysCrossedShown());
        EXPECT_TRUE(showsPicture(closing, "lock-open"));
        ASSERT_TRUE(waitUntil([&other] { return !other.keysCrossedShown(); }));
        EXPECT_TRUE(showsPicture(other, "lock-open"));
        EXPECT_TRUE(other.Image1->toolTip().startsWith("Open lock"));
        ASSERT_TRUE(waitUntil([&other] { return other.status() == "Listening..."; }));
        if (round == 0)
            continue;
        // The window that was connecting out listens now; set the roles back.
        client.Disconnect1->trigger();
        ASSERT_EQ(client.status(), "");
    }
}

TEST_F(TwoWindows, ALineArrivingInAWindowThatIsNotActiveAsksForAttentionWithoutTakingTheFocus)
{
    connectWindows();
    client.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&client));
    ASSERT_FALSE(server.isActiveWindow());
    dialogs.alerted.clear();

    type(server, "to the active window");
    // The hint would be asked for in the same step that shows the line.
    ASSERT_TRUE(waitUntil([this] { return client.Memo2->toPlainText() == "to the active window"; }));
    EXPECT_TRUE(dialogs.alerted.isEmpty());

    type(client, "to the window behind");
    ASSERT_TRUE(waitUntil([this] { return server.Memo2->toPlainText() == "to the window behind"; }));
    EXPECT_EQ(dialogs.alerted, QList<QWidget*>({&server}));
    // A change of the active window would come as a window-system event after it.
    drainEvents();
    EXPECT_EQ(QApplication::activeWindow(), &client);
    EXPECT_EQ(QApplication::focusWidget(), client.Edit1);
}
