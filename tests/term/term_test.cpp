// velmora-term against the window in one process, in both roles, and the two
// executables as processes: piped chats, exit statuses and the window's start
// options.
#include "tests/support/apptestsupport.h"
#include "tests/support/propertyseed.h"
#include "tests/support/netsupport.h"
#include "tests/support/privatenetwork.h"
#include "tests/support/standinmapper.h"
#include "tests/support/testprogram.h"

#include "app/chatform.h"
#include "link/chatlink.h"
#include "session/chatsession.h"
#include "term/termchat.h"

#include <QAction>
#include <QBuffer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <random>

namespace {

using nettest::Fd;

QString randomLine(std::mt19937_64& random, int minLength = 0)
{
    static const std::u32string alphabet = U"abcXYZ019 !?.,:;/\\'\"\t\u00e9\u00df\u20ac\u4e2d\U0001F600";
    std::u32string text;
    const int length = std::uniform_int_distribution<int>(minLength, 40)(random);
    for (int i = 0; i < length; ++i)
        text += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
    return QString::fromStdU32String(text);
}

void writeLines(int fd, const QStringList& lines)
{
    const QByteArray bytes = (lines.join('\n') + '\n').toUtf8();
    ASSERT_EQ(::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())), bytes.size());
}

// An empty pane reads as one empty line; the test expects at least two.
QStringList paneLines(const QPlainTextEdit* pane)
{
    return pane->toPlainText().split(u'\n');
}

// The terminal front end reading a pipe, facing a window.
class TermFixture {
protected:
    void prepare(bool termListens)
    {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        input = Fd(ends[0]);
        typing = Fd(ends[1]);
        port = freePort();
        form.link().serverSocket()->SetPort(termListens ? freePort() : port);
        form.link().clientSocket()->SetPort(port);
        ScktComp::SetApplicationErrorHandler([this](const std::exception& error) { form.ShowError(error); });
        out.open(QIODevice::ReadWrite);
        err.open(QIODevice::ReadWrite);
    }
    ~TermFixture() { ScktComp::SetApplicationErrorHandler(nullptr); }

    FakeDialogs dialogs;
    TChatForm form{dialogs};
    Fd input, typing;
    int port = 0;
    QBuffer out, err;
};

// The parameter is true when the terminal listens and the window connects.
class TermAndWindow : public testing::TestWithParam<bool>, protected TermFixture {
protected:
    void SetUp() override { prepare(GetParam()); }
};

class TermKeep : public testing::Test, protected TermFixture {
protected:
    void SetUp() override { prepare(true); }
};

TEST_P(TermAndWindow, PipedLinesCrossBothWaysAndEndOfInputClosesCleanly)
{
    std::mt19937_64 random(PropertySeed("TermAndWindow"));
    const bool termListens = GetParam();
    StartOptions options;
    options.listen = termListens;
    options.host = termListens ? QString() : QStringLiteral("127.0.0.1");
    options.port = port;
    TermChat chat(options, input.get(), out, err);

    // Lines typed before any peer is there, let alone its key. The window
    // shows an empty first line as an empty pane, so the first has text.
    QStringList early{randomLine(random, 1)};
    for (int i = std::uniform_int_distribution<int>(1, 4)(random); i > 0; --i)
        early << randomLine(random);
    writeLines(typing.get(), early);

    if (termListens) {
        chat.start();
        form.ConnectTo(QStringLiteral("127.0.0.1"));
    } else {
        form.FileListenItem->trigger();
        chat.start();
    }
    ASSERT_TRUE(waitUntil([&] { return paneLines(form.Memo2) == early; }))
        << paneLines(form.Memo2).join('|').toStdString() << "\nerr: " << err.data().toStdString()
        << "\nwindow: " << dialogs.errors.join('\n').toStdString() << "\nexpected: " << early.join('|').toStdString();
    EXPECT_FALSE(form.session().awaitingKey());
    if (termListens) {
        EXPECT_EQ(form.lastAddress(), "127.0.0.1");
    }

    const QString fromWindow = randomLine(random);
    form.Edit1->setText(fromWindow);
    QTest::keyClick(form.Edit1, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return out.data() == (fromWindow + '\n').toUtf8(); })) << out.data().toStdString();

    const QString last = randomLine(random);
    writeLines(typing.get(), {last});
    typing.reset();
    ASSERT_TRUE(waitUntil([&] { return chat.isFinished(); })) << err.data().toStdString();
    EXPECT_EQ(chat.exitCode(), TermChat::ExitDone) << err.data().toStdString();
    EXPECT_EQ(paneLines(form.Memo2), early + QStringList{last});
    // The window saw an orderly close and listens again; nothing went wrong on either side.
    ASSERT_TRUE(waitUntil([&] { return form.status() == "Listening..."; })) << form.status().toStdString();
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
    EXPECT_EQ(out.data(), (fromWindow + '\n').toUtf8());
    EXPECT_TRUE(err.data().contains("Connected to: ")) << err.data().toStdString();
}

// The router's forwarding, or why there is none, is one line on standard
// error; --no-port-mapping asks no router at all.
TEST_F(TermKeep, TheForwardingIsOneLineOnStandardError)
{
    StandInMappers mappers;
    StartOptions options;
    options.listen = true;
    options.port = port;
    TermChat chat(options, input.get(), out, err);
    chat.start();
    ASSERT_NE(mappers.mapper, nullptr);
    EXPECT_EQ(mappers.mapper->calls, std::vector<std::string>{"start " + std::to_string(port)});
    emit mappers.mapper->mapped(QStringLiteral("2001:db8::7"), 40000, QStringLiteral("UPnP-IGD"));
    emit mappers.mapper->failed(QStringLiteral("The router stopped forwarding port 40000."));
    EXPECT_EQ(err.data(), "Listening...\n"
                          "Port mapped: peers on the internet connect to [2001:db8::7]:40000 (UPnP-IGD)\n"
                          "No port mapping: The router stopped forwarding port 40000.\n");
    EXPECT_TRUE(out.data().isEmpty());

    mappers.mapper = nullptr;
    options.portMapping = false;
    options.port = freePort();
    TermChat unmapped(options, input.get(), out, err);
    unmapped.start();
    EXPECT_EQ(mappers.mapper, nullptr);
}

// --keep: the listening terminal outlives a peer that leaves, and what it
// reads meanwhile goes to the next one.
TEST_F(TermKeep, ServesTheNextPeer)
{
    StartOptions options;
    options.listen = true;
    options.keep = true;
    options.port = port;
    TermChat chat(options, input.get(), out, err);
    chat.start();
    form.ConnectTo(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return form.status().startsWith("Connected to: ") && !form.session().awaitingKey(); }));
    form.Disconnect1->trigger();
    ASSERT_TRUE(waitUntil([&] { return err.data().count("Listening...") == 2; })) << err.data().toStdString();
    EXPECT_FALSE(chat.isFinished());

    writeLines(typing.get(), {"for the next peer"});
    form.ConnectTo(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return form.Memo2->toPlainText() == "for the next peer"; }))
        << err.data().toStdString();
    typing.reset();
    ASSERT_TRUE(waitUntil([&] { return chat.isFinished(); }));
    EXPECT_EQ(chat.exitCode(), TermChat::ExitDone) << err.data().toStdString();
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

// A piped line too long for any peer is refused once and dropped; the lines
// behind it still go out, and the run ends with the error status.
using TermLongLine = TermKeep;
TEST_F(TermLongLine, IsRefusedOnceAndTheNextLinesGoOn)
{
    StartOptions options;
    options.listen = true;
    options.port = port;
    TermChat chat(options, input.get(), out, err);
    chat.start();
    writeLines(typing.get(), {QString(ChatSession::MaxLineMessage + 1, u'x'), QStringLiteral("after it")});
    typing.reset();
    form.ConnectTo(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return chat.isFinished(); })) << err.data().toStdString();
    EXPECT_EQ(chat.exitCode(), TermChat::ExitError);
    EXPECT_EQ(form.Memo2->toPlainText(), "after it");
    EXPECT_EQ(err.data().count("too long"), 1) << err.data().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Roles, TermAndWindow, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "TermListens" : "WindowListens";
                         });

// The programs of the build; a listening one never asks this machine's router.
class Program : public TestProgram {
public:
    Program(const char* path, const QStringList& arguments,
            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
        : TestProgram(QString::fromLocal8Bit(path), arguments, environment)
    {
    }
};

QByteArray joined(const QStringList& lines)
{
    return (lines.join('\n') + '\n').toUtf8();
}

// One line each way typed before the keys crossed, then a line typed during
// the chat. (Lines queued together go out a pause apart; a process under
// heavy load may still read two of them at once, which the wire format cannot
// tell apart, so each burst here is one line.)
TEST(TermProcesses, TwoTerminalsChatThroughPipes)
{
    std::mt19937_64 random(PropertySeed("TwoTerminalsChatThroughPipes"));
    const QStringList fromListener{randomLine(random), randomLine(random)};
    const QString fromConnector = randomLine(random);

    const QString port = QString::number(freePort());
    Program listener(VELMORA_TERM, {"--listen", "--port", port});
    listener.type({fromListener[0]});
    ASSERT_TRUE(waitUntil([&] { return listener.err().contains("Listening..."); })) << listener.err().toStdString();
    Program connector(VELMORA_TERM, {"--connect", "127.0.0.1", "--port", port});
    connector.type({fromConnector});

    ASSERT_TRUE(waitUntil([&] { return listener.out() == joined({fromConnector}); })) << listener.out().toStdString();
    ASSERT_TRUE(waitUntil([&] { return connector.out() == joined({fromListener[0]}); }))
        << connector.out().toStdString();
    listener.type({fromListener[1]});
    ASSERT_TRUE(waitUntil([&] { return connector.out() == joined(fromListener); })) << connector.out().toStdString();
    // The connector's input ends: it closes, and the listener ends as its peer left.
    connector.endInput();
    EXPECT_EQ(connector.waitExit(), 0) << connector.err().toStdString();
    EXPECT_EQ(listener.waitExit(), 0) << listener.err().toStdString();
    EXPECT_TRUE(listener.err().contains("The peer closed the connection")) << listener.err().toStdString();
    EXPECT_EQ(listener.out(), joined({fromConnector}));
    EXPECT_EQ(connector.out(), joined(fromListener));
}

struct ExitCase {
    const char* name;
    const char* program;
    QStringList arguments;
    int status;
    const char* output; // expected on standard output, or else on standard error
};

void PrintTo(const ExitCase& c, std::ostream* os)
{
    *os << c.name;
}

class ExitStatus : public testing::TestWithParam<ExitCase> {};

TEST_P(ExitStatus, IsAsDocumented)
{
    const ExitCase& c = GetParam();
    Program program(c.program, c.arguments);
    program.endInput();
    ASSERT_EQ(program.waitExit(), c.status) << program.err().toStdString();
    const QByteArray& shown = c.status == 0 ? program.out() : program.err();
    EXPECT_TRUE(shown.contains(c.output)) << shown.toStdString();
    if (c.status == 2) {
        EXPECT_TRUE(program.out().isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Usage, ExitStatus,
    testing::Values(ExitCase{"TermHelp", VELMORA_TERM, {"--help"}, 0, "Usage: velmora-term"},
                    ExitCase{"TermVersion", VELMORA_TERM, {"--version"}, 0, "velmora-term 2.0"},
                    ExitCase{"WindowHelp", VELMORA_WINDOW, {"--help"}, 0, "Usage: velmora"},
                    ExitCase{"TermHelpNamesIPv6", VELMORA_TERM, {"-h"}, 0, "or an IPv6 address\n                  (with or without brackets: ::1 or [::1])"},
                    ExitCase{"WindowHelpNamesPortMapping", VELMORA_WINDOW, {"--help"}, 0, "--no-port-mapping\n"},
                    ExitCase{"WindowVersion", VELMORA_WINDOW, {"-v"}, 0, "velmora 2.0"},
                    ExitCase{"TermNoRole", VELMORA_TERM, {}, 2, "--listen or --connect"},
                    ExitCase{"TermBadPort", VELMORA_TERM, {"--listen", "--port", "65536"}, 2, "--port"},
                    ExitCase{"WindowUnknownOption", VELMORA_WINDOW, {"--bogus"}, 2, "bogus"}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST(TermProcesses, ErrorsEndWithStatusOne)
{
    // Nothing listens on the port.
    Program refused(VELMORA_TERM, {"--connect", "127.0.0.1", "--port", QString::number(freePort())});
    EXPECT_EQ(refused.waitExit(), 1);
    EXPECT_TRUE(refused.err().contains("Error connecting to : 127.0.0.1")) << refused.err().toStdString();

    // The port is taken.
    RawListener taken;
    Program busy(VELMORA_TERM, {"--listen", "--port", QString::number(taken.port())});
    EXPECT_EQ(busy.waitExit(), 1);
    EXPECT_TRUE(busy.err().contains("'bind'")) << busy.err().toStdString();

    // The peer's key message is malformed.
    Program client(VELMORA_TERM, {"--connect", "127.0.0.1", "--port", QString::number(taken.port())});
    RawEnd peer = taken.accept();
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitUntil([&] { return peer.pump() && peer.received().find("::") != std::string::npos; }));
    peer.send("12345");
    EXPECT_EQ(client.waitExit(), 1);
    EXPECT_TRUE(client.err().contains("The peer's key message is malformed")) << client.err().toStdString();
    EXPECT_TRUE(client.out().isEmpty());

    // The same, with the peer gone right after it: the key is taken in as the
    // connection ends, and is as malformed then.
    Program hasty(VELMORA_TERM, {"--connect", "127.0.0.1", "--port", QString::number(taken.port())});
    RawEnd leaving = taken.accept();
    ASSERT_TRUE(leaving.valid());
    ASSERT_TRUE(waitUntil([&] { return leaving.pump() && leaving.received().find("::") != std::string::npos; }));
    leaving.send("12345");
    leaving = RawEnd();
    EXPECT_EQ(hasty.waitExit(), 1) << hasty.err().toStdString();
    EXPECT_TRUE(hasty.err().contains("The peer's key message is malformed")) << hasty.err().toStdString();
}

// Without a display the window says what it needs and ends with status 1,
// where Qt would abort; help and version need no display.
TEST(WindowOptions, WithoutADisplayTheWindowSaysSoAndEndsWithStatusOne)
{
    QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        noDisplay.remove(QString::fromLatin1(name));
    Program window(VELMORA_WINDOW, {"--listen", "--port", QString::number(freePort())}, noDisplay);
    window.endInput();
    EXPECT_EQ(window.waitExit(), 1) << window.err().toStdString();
    EXPECT_TRUE(window.err().contains("needs a display")) << window.err().toStdString();
    EXPECT_TRUE(window.out().isEmpty());

    Program help(VELMORA_WINDOW, {"--help"}, noDisplay);
    EXPECT_EQ(help.waitExit(), 0) << help.err().toStdString();
    EXPECT_TRUE(help.out().contains("Usage: velmora")) << help.out().toStdString();
}

TEST(WindowOptions, ListenAndConnectAtStart)
{
    const int port = freePort();
    Program listening(VELMORA_WINDOW, {"--listen", "--port", QString::number(port)});
    RawEnd peer;
    // The window listens by itself and answers a connection with its key message.
    ASSERT_TRUE(waitUntil([&] {
        if (!peer.valid() || !peer.pump())
            peer = RawEnd::connectTo(port);
        return peer.received().find("//") != std::string::npos;
    })) << listening.err().toStdString();

    RawListener listener;
    Program connecting(VELMORA_WINDOW, {"--connect", "127.0.0.1", "--port", QString::number(listener.port())});
    RawEnd accepted = listener.accept();
    ASSERT_TRUE(accepted.valid()) << connecting.err().toStdString();
    ASSERT_TRUE(waitUntil([&] { return accepted.pump() && accepted.received().find("::") != std::string::npos; }));
}

// Both programs over IPv6 and IPv4, in a private network namespace whose
// hosts file names a host with an unreachable IPv6 address and a live IPv4
// one: a connect there must fall back to IPv4.
const nettest::PrivateNetwork kTwoFamilies{{{"/etc/hosts", "127.0.0.1 localhost\n"
                                                            "::1 localhost\n"
                                                            "fd00:dead::1 deadsix.velmora.test\n"
                                                            "127.0.0.1 deadsix.velmora.test\n"}},
                                           {"fd00:dead::/64"}};

#define ENTER_TWO_FAMILIES()                                                                                           \
    do {                                                                                                               \
        std::string why;                                                                                               \
        const nettest::NetworkRun run = nettest::runInPrivateNetwork(kTwoFamilies, why);                               \
        if (run == nettest::NetworkRun::Skipped)                                                                       \
            GTEST_SKIP() << why;                                                                                       \
        if (run == nettest::NetworkRun::Done)                                                                          \
            return;                                                                                                    \
    } while (false)

// One terminal listens (and stays for the next peer); terminals connect in
// turn by each form of address, each sending one line and leaving.
TEST(ProgramsOverBothFamilies, OneListenerTakesEveryFormOfAddressInTurn)
{
    ENTER_TWO_FAMILIES();
    const QString port = QString::number(freePort());
    Program listener(VELMORA_TERM, {"--listen", "--keep", "--port", port});
    ASSERT_TRUE(waitUntil([&] { return listener.err().contains("Listening..."); })) << listener.err().toStdString();
    QByteArray expected;
    for (const char* address : {"127.0.0.1", "::1", "[::1]", "deadsix.velmora.test"}) {
        SCOPED_TRACE(address);
        const QString line = QStringLiteral("by ") + QString::fromLatin1(address);
        Program connector(VELMORA_TERM, {"--connect", address, "--port", port});
        connector.type({line});
        connector.endInput();
        // It ends cleanly only once its line has gone out under crossed keys.
        EXPECT_EQ(connector.waitExit(), 0) << connector.err().toStdString();
        expected += joined({line});
        ASSERT_TRUE(waitUntil([&] { return listener.out() == expected; })) << listener.out().toStdString();
    }
    const QByteArray err = listener.err();
    EXPECT_EQ(err.count("Connected to: "), 4) << err.toStdString();
    EXPECT_EQ(err.count("Connected to: ::1"), 2) << err.toStdString();
}

// The window in both roles over ::1, a terminal facing it.
TEST(ProgramsOverBothFamilies, TheWindowListensAndConnectsOverIPv6)
{
    ENTER_TWO_FAMILIES();
    const QString windowPort = QString::number(freePort());
    Program listening(VELMORA_WINDOW, {"--listen", "--port", windowPort});
    Program* connector = nullptr;
    std::unique_ptr<Program> attempt;
    // The window listens once its event loop runs: until then a connect is refused.
    ASSERT_TRUE(waitUntil([&] {
        if (attempt && attempt->waitExit() == 0)
            return true;
        attempt = std::make_unique<Program>(VELMORA_TERM, QStringList{"--connect", "::1", "--port", windowPort});
        attempt->type({"to the window"});
        attempt->endInput();
        return false;
    })) << listening.err().toStdString();
    connector = attempt.get();
    // The connecting side names its peer by the host name of ::1 in the hosts file.
    EXPECT_TRUE(connector->err().contains("Connected to: localhost")) << connector->err().toStdString();

    const QString termPort = QString::number(freePort());
    Program listener(VELMORA_TERM, {"--listen", "--port", termPort});
    ASSERT_TRUE(waitUntil([&] { return listener.err().contains("Listening..."); })) << listener.err().toStdString();
    listener.type({"to the window"});
    listener.endInput();
    Program connecting(VELMORA_WINDOW, {"--connect", "[::1]", "--port", termPort});
    // The window takes the line and closes when the terminal ends its output.
    EXPECT_EQ(listener.waitExit(), 0) << listener.err().toStdString();
    EXPECT_TRUE(listener.err().contains("Connected to: ::1")) << listener.err().toStdString();
}

} // namespace
