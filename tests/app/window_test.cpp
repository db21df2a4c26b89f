// The chat window: components, captions, geometry, and the commands that
// switch the two sockets, driven through the menu.
#include "tests/support/apptestsupport.h"
#include "tests/support/standinmapper.h"

#include "app/aboutbox.h"
#include "app/chatform.h"
#include "session/startoptions.h"

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>

namespace {

QStringList actionTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

class ChatWindow : public testing::Test {
protected:
    void SetUp() override
    {
        form.link().serverSocket()->SetPort(freePort());
        ScktComp::SetApplicationErrorHandler([this](const std::exception& error) { form.ShowError(error); });
    }
    void TearDown() override { ScktComp::SetApplicationErrorHandler(nullptr); }

    bool listening() const { return form.link().serverSocket()->Active(); }
    bool checked() const { return form.FileListenItem->isChecked(); }

    FakeDialogs dialogs;
    TChatForm form{dialogs};
};

} // namespace

TEST_F(ChatWindow, ComponentsCarryTheirNames)
{
    // The sockets belong to the window's link, a child of the window.
    const QList<QObject*> components = {form.MainMenu1, form.File1, form.Exit1, form.FileConnectItem,
                                        form.FileListenItem, form.StatusBar1, form.Bevel1, form.Panel1,
                                        form.Memo1, form.Memo2, form.N1, form.SpeedButton1,
                                        form.Disconnect1, form.link().serverSocket(), form.link().clientSocket(),
                                        form.Panel2, form.Edit1, form.GIFImage1, form.Image1, form.Help1, form.About1};
    const QStringList names = {"MainMenu1", "File1", "Exit1", "FileConnectItem", "FileListenItem", "StatusBar1",
                               "Bevel1", "Panel1", "Memo1", "Memo2", "N1", "SpeedButton1", "Disconnect1",
                               "ServerSocket", "ClientSocket", "Panel2", "Edit1", "GIFImage1", "Image1", "Help1",
                               "About1"};
    ASSERT_EQ(components.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        ASSERT_NE(components[i], nullptr) << names[i].toStdString();
        EXPECT_EQ(components[i]->objectName(), names[i]);
        EXPECT_EQ(form.findChild<QObject*>(names[i]), components[i]) << names[i].toStdString();
    }
}

TEST_F(ChatWindow, CaptionsMenuAndSocketSettings)
{
    EXPECT_EQ(form.windowTitle(), "Velmora v2");
    EXPECT_EQ(form.menuBar(), form.MainMenu1);
    ASSERT_EQ(form.MainMenu1->actions().size(), 2);
    EXPECT_EQ(form.MainMenu1->actions()[0]->text(), "&File");
    EXPECT_EQ(form.MainMenu1->actions()[1]->text(), "&Help");
    EXPECT_EQ(actionTexts(form.File1),
              QStringList({"&Listen", "&Connect...", "&Disconnect", "-", "Open Port on &Router", "-", "E&xit"}));
    EXPECT_EQ(actionTexts(form.Help1), QStringList({"&About"}));
    EXPECT_EQ(form.File1->actions()[3], form.N1);
    EXPECT_TRUE(form.FileListenItem->isCheckable());
    EXPECT_FALSE(form.FileListenItem->isChecked());
    EXPECT_TRUE(form.FilePortMapItem->isCheckable());
    EXPECT_TRUE(form.FilePortMapItem->isChecked());
    EXPECT_EQ(form.SpeedButton1->text(), "Connect!");

    EXPECT_EQ(form.link().clientSocket()->Port(), StartOptions::DefaultPort);
    EXPECT_EQ(form.link().clientSocket()->ClientType(), ScktComp::ctNonBlocking);
    EXPECT_EQ(form.link().serverSocket()->ServerType(), ScktComp::stNonBlocking);
    EXPECT_FALSE(form.link().serverSocket()->Active());
    EXPECT_FALSE(form.link().clientSocket()->Active());
    EXPECT_EQ(form.status(), "");
    EXPECT_FALSE(form.aboutBox().isVisible());
}

TEST_F(ChatWindow, DesignGeometry)
{
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QWidget* client = form.centralWidget();
    EXPECT_EQ(form.width(), 427);
    EXPECT_EQ(form.minimumWidth(), 427);
    EXPECT_EQ(form.maximumWidth(), 427);
    EXPECT_EQ(form.height(), 340);
    EXPECT_EQ(form.maximumHeight(), 340);
    EXPECT_EQ(client->width(), 427);
    EXPECT_EQ(form.MainMenu1->height() + client->height() + form.StatusBar1->height(), 340);
    const int incomingHeight = client->height() - 184;
    EXPECT_EQ(form.pos(), QPoint(209, 110));
    EXPECT_EQ(form.font().pixelSize(), 10);
    EXPECT_TRUE(form.windowIcon().availableSizes().contains(QSize(32, 32)));

    EXPECT_EQ(form.Bevel1->geometry(), QRect(0, 0, 427, 2));
    EXPECT_EQ(form.Panel1->geometry(), QRect(0, 2, 427, 43));
    EXPECT_EQ(form.SpeedButton1->geometry(), QRect(6, 6, 79, 28));
    EXPECT_EQ(form.SpeedButton1->iconSize(), QSize(24, 24));
    EXPECT_TRUE(form.SpeedButton1->autoRaise());
    EXPECT_EQ(form.Image1->geometry(), QRect(280, 6, 32, 32));
    EXPECT_EQ(form.Image1->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(form.GIFImage1->geometry(), QRect(316, 4, 100, 36));
    EXPECT_EQ(form.GIFImage1->pixmap().size(), QSize(100, 36));
    EXPECT_EQ(form.Memo1->geometry(), QRect(0, 45, 427, 115));
    EXPECT_EQ(form.Panel2->geometry(), QRect(0, 160, 427, 24));
    EXPECT_EQ(form.Edit1->geometry(), QRect(0, 0, 427, 21));
    EXPECT_EQ(form.Memo2->geometry(), QRect(0, 184, 427, incomingHeight));
    EXPECT_EQ(form.StatusBar1->height(), 17);
    // No length limit: Qt's default would stop a pasted line at 32767 characters.
    EXPECT_EQ(form.Edit1->maxLength(), std::numeric_limits<int>::max());
    EXPECT_EQ(form.focusWidget(), form.Edit1);
}

TEST_F(ChatWindow, PanesSettings)
{
    EXPECT_FALSE(form.Memo1->isEnabled());
    EXPECT_EQ(form.Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(form.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(form.Memo2->isEnabled());
    EXPECT_TRUE(form.Memo2->isReadOnly());
    EXPECT_EQ(form.Memo2->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(form.Memo2->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form.Memo2->palette().color(QPalette::Base), form.palette().color(QPalette::Button));
}

TEST_F(ChatWindow, ResizingChangesOnlyTheIncomingPaneAndNeverTheWidth)
{
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const int fullHeight = form.height();
    const int fullIncoming = form.Memo2->height();
    const QRect memo1 = form.Memo1->geometry();

    // Each resize is done once the incoming pane has followed it.
    form.resize(600, fullHeight - 50);
    ASSERT_TRUE(waitUntil([&] { return form.Memo2->height() != fullIncoming; }));
    EXPECT_EQ(form.width(), 427);
    EXPECT_EQ(form.height(), fullHeight - 50);
    EXPECT_EQ(form.Memo1->geometry(), memo1);
    EXPECT_EQ(form.Memo2->height(), fullIncoming - 50);
    EXPECT_EQ(form.Edit1->width(), form.Memo1->width());

    form.resize(427, 100);
    ASSERT_TRUE(waitUntil([&] { return form.Memo2->height() != fullIncoming - 50; }));
    EXPECT_EQ(form.height(), 100);
    EXPECT_EQ(form.Memo2->height(), 0);
    EXPECT_EQ(form.Memo1->geometry(), memo1);

    form.resize(427, fullHeight + 200);
    ASSERT_TRUE(waitUntil([&] { return form.Memo2->height() != 0; }));
    EXPECT_EQ(form.height(), fullHeight);
    EXPECT_EQ(form.Memo2->height(), fullIncoming);
    EXPECT_EQ(form.Edit1->width(), form.Memo1->width());
}

TEST_F(ChatWindow, ListenTwiceTurnsListeningOnThenOff)
{
    form.FileListenItem->trigger();
    EXPECT_TRUE(checked());
    EXPECT_TRUE(listening());
    EXPECT_EQ(form.status(), "Listening...");

    form.FileListenItem->trigger();
    EXPECT_FALSE(checked());
    EXPECT_FALSE(listening());
    EXPECT_EQ(form.status(), "");
    EXPECT_TRUE(dialogs.errors.isEmpty());
}

TEST_F(ChatWindow, DisconnectWhileIdleStartsListeningAndAgainStops)
{
    form.Disconnect1->trigger();
    EXPECT_TRUE(checked());
    EXPECT_TRUE(listening());
    EXPECT_EQ(form.status(), "Listening...");

    form.Disconnect1->trigger();
    EXPECT_FALSE(checked());
    EXPECT_FALSE(listening());
    EXPECT_EQ(form.status(), "");
}

TEST_F(ChatWindow, ListeningOnATakenPortShowsTheBindErrorUnchanged)
{
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    form.link().serverSocket()->SetPort(ntohs(address.sin_port));

    form.FileListenItem->trigger();
    ::close(taken);
    ASSERT_EQ(dialogs.errors.size(), 1);
    EXPECT_TRUE(dialogs.errors[0].startsWith("Windows socket error: ")) << dialogs.errors[0].toStdString();
    EXPECT_TRUE(dialogs.errors[0].endsWith(", on API 'bind'")) << dialogs.errors[0].toStdString();
    // The mark stays on, nothing listens, the status is unchanged.
    EXPECT_TRUE(checked());
    EXPECT_FALSE(listening());
    EXPECT_EQ(form.status(), "");

    form.FileListenItem->trigger();
    EXPECT_FALSE(checked());
    EXPECT_EQ(form.status(), "");
}

// When the listening socket itself fails, the layer switches it off and
// reports an error; whatever the error, the status must not go on saying
// "Listening..." once nothing listens.
TEST_F(ChatWindow, StatusFollowsTheListenerThroughAnError)
{
    form.FileListenItem->trigger();
    ScktComp::HandleApplicationError(ScktComp::ESocketError("Asynchronous socket error 24"));
    EXPECT_EQ(form.status(), "Listening...") << "still listening";

    form.link().serverSocket()->SetActive(false);
    ScktComp::HandleApplicationError(ScktComp::ESocketError("Asynchronous socket error 22"));
    EXPECT_EQ(form.status(), "");
    EXPECT_EQ(dialogs.errors, QStringList({"Asynchronous socket error 24.", "Asynchronous socket error 22."}));
}

TEST_F(ChatWindow, PromptCancelledChangesNothing)
{
    dialogs.answers = {QString("127.0.0.1"), std::nullopt, std::nullopt};
    form.link().clientSocket()->SetPort(freePort());
    form.FileConnectItem->trigger();
    EXPECT_EQ(form.lastAddress(), "127.0.0.1");
    // The attempt to a port nobody listens on fails in the incoming pane.
    ASSERT_TRUE(waitUntil([&] { return form.Memo2->toPlainText().contains("Error connecting to : "); }));

    form.SpeedButton1->click();
    EXPECT_EQ(form.lastAddress(), "127.0.0.1");
    form.FileConnectItem->trigger();
    EXPECT_EQ(dialogs.promptInitialTexts, QStringList({"", "127.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(dialogs.promptCaptions.value(1), "Computer to connect to");
    EXPECT_EQ(dialogs.promptLabels.value(1), "Address Name:");
}

TEST_F(ChatWindow, PromptConfirmedEmptyStartsNothing)
{
    dialogs.answers = {QString("127.0.0.1"), QString(""), std::nullopt};
    form.link().clientSocket()->SetPort(freePort());
    form.SpeedButton1->click();
    ASSERT_TRUE(waitUntil([&] { return !form.Memo2->toPlainText().isEmpty(); }));
    form.Memo2->clear();
    // An attempt begins with the host lookup, inside the command.
    int lookups = 0;
    form.link().clientSocket()->OnLookup = [&lookups](QObject*, ScktComp::TCustomWinSocket*) { ++lookups; };
    form.FileConnectItem->trigger();
    form.link().clientSocket()->OnLookup = nullptr;
    EXPECT_EQ(form.lastAddress(), "");
    EXPECT_EQ(lookups, 0);
    drainEvents();
    EXPECT_EQ(form.Memo2->toPlainText(), "");
    EXPECT_FALSE(form.link().clientSocket()->Active());
    form.FileConnectItem->trigger();
    EXPECT_EQ(dialogs.promptInitialTexts.value(2), "");
}

TEST_F(ChatWindow, RefusedConnectionIsReportedInThePaneOnly)
{
    form.FileListenItem->trigger();
    dialogs.answers = {QString("127.0.0.1")};
    form.link().clientSocket()->SetPort(freePort());
    form.FileConnectItem->trigger();
    ASSERT_TRUE(waitUntil([&] { return !form.Memo2->toPlainText().isEmpty(); }));
    // No second line and no error box may follow.
    drainEvents();
    EXPECT_EQ(form.Memo2->toPlainText(), "Error connecting to : 127.0.0.1");
    EXPECT_TRUE(dialogs.errors.isEmpty());
    EXPECT_TRUE(checked());
    EXPECT_EQ(form.status(), "Listening...");
    EXPECT_FALSE(form.link().clientSocket()->Active());
}

TEST_F(ChatWindow, AboutCommandShowsTheAboutBox)
{
    form.About1->trigger();
    EXPECT_EQ(dialogs.aboutShown, 1);
}

TEST_F(ChatWindow, ExitClosesTheWindowAndBothSockets)
{
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.FileListenItem->trigger();
    ASSERT_TRUE(listening());
    form.Exit1->trigger();
    EXPECT_FALSE(listening());
    EXPECT_FALSE(form.isVisible());
}

TEST_F(ChatWindow, EnterBeforeAnyConnectionSendsNothingAndKeepsTheLine)
{
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::keyClicks(form.Edit1, "hello");
    QTest::keyClick(form.Edit1, Qt::Key_Return);
    EXPECT_EQ(form.Edit1->text(), "hello");
    EXPECT_EQ(form.Memo1->toPlainText(), "");
    EXPECT_TRUE(dialogs.errors.isEmpty());
}

// The router's forwarding is told quietly: a line in the incoming pane and
// the lock's tooltip, no box and no call for attention, the status as it was;
// the File menu's check item and --no-port-mapping turn it off.
TEST(WindowPortMapping, TheForwardingIsToldQuietlyAndTheMenuItemSwitchesIt)
{
    StandInMappers mappers;
    FakeDialogs dialogs;
    TChatForm form{dialogs};
    form.link().serverSocket()->SetPort(freePort());
    const std::string started = "start " + std::to_string(form.link().serverSocket()->Port());
    form.FileListenItem->trigger();
    ASSERT_NE(mappers.mapper, nullptr);
    EXPECT_EQ(mappers.mapper->calls, std::vector<std::string>{started});

    const QString line = QStringLiteral("Port mapped: peers on the internet connect to 203.0.113.7:1024 (NAT-PMP)");
    emit mappers.mapper->mapped(QStringLiteral("203.0.113.7"), 1024, QStringLiteral("NAT-PMP"));
    EXPECT_EQ(form.Memo2->toPlainText(), line);
    EXPECT_TRUE(form.Image1->toolTip().startsWith("Open lock")) << form.Image1->toolTip().toStdString();
    EXPECT_TRUE(form.Image1->toolTip().endsWith(line)) << form.Image1->toolTip().toStdString();
    EXPECT_EQ(form.status(), "Listening...");

    form.FilePortMapItem->trigger();
    EXPECT_FALSE(form.FilePortMapItem->isChecked());
    EXPECT_EQ(mappers.mapper->calls, (std::vector<std::string>{started, "stop"}));
    EXPECT_FALSE(form.Image1->toolTip().contains("Port mapped")) << form.Image1->toolTip().toStdString();
    EXPECT_TRUE(form.FileListenItem->isChecked()) << "listening goes on";

    form.FilePortMapItem->trigger();
    EXPECT_EQ(mappers.mapper->calls, (std::vector<std::string>{started, "stop", started}));
    emit mappers.mapper->failed(QStringLiteral("No router on this network answered."));
    EXPECT_EQ(form.Memo2->toPlainText(), line + "\nNo port mapping: No router on this network answered.");
    EXPECT_TRUE(dialogs.errors.isEmpty());
    EXPECT_TRUE(dialogs.alerted.isEmpty());
    EXPECT_EQ(form.status(), "Listening...");

    StartOptions options;
    options.portMapping = false;
    TChatForm unmapped{dialogs};
    unmapped.start(options);
    EXPECT_FALSE(unmapped.FilePortMapItem->isChecked());
    EXPECT_FALSE(unmapped.link().portMapping());
}
