// Two chat windows in one process exchange many lines over loopback while the
// process's memory is measured. Run by `make soak` only: it takes minutes.
//
//   VELMORA_SOAK_LINES   lines exchanged, both ways in turn (default 10000)
//   VELMORA_TEST_SEED    replays the random lines of a run
//
// The heap in use is taken after the key exchange and a warm-up, after the
// exchange, and once more after the four panes are emptied: what remains
// above the first figure is memory the chat kept that no pane shows.
#include "tests/support/apptestsupport.h"

#include "app/chatlook.h"
#include "session/chatsession.h"
#include "app/chatform.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <iostream>
#include <random>

namespace {

using namespace std::chrono_literals;

// Heap bytes handed out by malloc and not yet freed.
std::size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::size_t ResidentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toULongLong() * 1024;
    return 0;
}

double MiB(std::size_t bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

int EnvInt(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    return text ? std::atoi(text) : fallback;
}

std::uint32_t Seed()
{
    if (const char* text = std::getenv("VELMORA_TEST_SEED"))
        return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    return std::random_device{}();
}

QString RandomLine(std::mt19937& rng)
{
    static const QString alphabet =
        QStringLiteral("abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 .,;:!?-\u00e4\u00f6\u00fc\u00df\u20ac");
    std::uniform_int_distribution<int> length(0, 160), pick(0, static_cast<int>(alphabet.size()) - 1);
    QString line;
    for (int n = length(rng); n > 0; --n)
        line += alphabet[pick(rng)];
    return line;
}

std::size_t PaneBytes(const QPlainTextEdit* pane)
{
    return static_cast<std::size_t>(pane->toPlainText().size()) * sizeof(QChar);
}

TEST(ChatSoak, ManyLinesKeepNoMemoryBeyondThePanes)
{
    const int lines = EnvInt("VELMORA_SOAK_LINES", 10000);
    const std::uint32_t seed = Seed();
    std::cout << "VELMORA_TEST_SEED=" << seed << ", lines: " << lines << std::endl;
    std::mt19937 rng(seed);

    FakeDialogs dialogs;
    TChatForm server{dialogs};
    TChatForm client{dialogs};
    const int port = freePort();
    server.link().serverSocket()->SetPort(port);
    server.link().clientSocket()->SetPort(freePort());
    client.link().clientSocket()->SetPort(port);
    client.link().serverSocket()->SetPort(freePort());
    ScktComp::SetApplicationErrorHandler([&server](const std::exception& error) { server.ShowError(error); });
    server.show();
    client.show();

    server.FileListenItem->trigger();
    dialogs.answers.push_back(QStringLiteral("127.0.0.1"));
    client.FileConnectItem->trigger();
    ASSERT_TRUE(waitUntil([&] {
        return server.status().startsWith("Connected to: ") && client.status().startsWith("Connected to: ")
            && !server.session().awaitingKey() && !client.session().awaitingKey();
    }));

    // One line at a time: the protocol takes each read as one message, so a
    // line waits for the one before to arrive.
    int exchanged = 0;
    const auto exchange = [&](int count) {
        for (int i = 0; i < count; ++i, ++exchanged) {
            TChatForm& from = exchanged % 2 == 0 ? client : server;
            TChatForm& to = exchanged % 2 == 0 ? server : client;
            const QString line = RandomLine(rng);
            const int before = to.Memo2->blockCount();
            const bool wasEmpty = to.Memo2->document()->isEmpty();
            // Inserted as a paste would be, so the input line's editing history takes part.
            from.Edit1->insert(line);
            QTest::keyClick(from.Edit1, Qt::Key_Return);
            ASSERT_TRUE(waitUntil(
                [&] { return to.Memo2->blockCount() > before || (wasEmpty && !to.Memo2->document()->isEmpty()); },
                30s))
                << "line " << exchanged << " did not arrive";
            ASSERT_EQ(to.Memo2->document()->lastBlock().text(), line) << "line " << exchanged;
        }
    };

    exchange(100);
    // What the last line left to do (its write events, deferred deletions) is done before measuring.
    drainEvents();
    const std::size_t heapBefore = HeapInUse();
    const std::size_t residentBefore = ResidentBytes();

    exchange(lines);
    drainEvents();
    const std::size_t heapAfter = HeapInUse();
    const std::size_t residentAfter = ResidentBytes();
    const std::size_t paneBytes = PaneBytes(server.Memo1) + PaneBytes(server.Memo2) + PaneBytes(client.Memo1)
        + PaneBytes(client.Memo2);

    for (TChatForm* form : {&server, &client}) {
        form->Memo1->clear();
        form->Memo2->clear();
    }
    drainEvents();
    const std::size_t heapCleared = HeapInUse();

    std::cout << "lines exchanged: " << exchanged << "\n"
              << "resident before: " << MiB(residentBefore) << " MiB, after: " << MiB(residentAfter) << " MiB\n"
              << "heap in use before: " << MiB(heapBefore) << " MiB, after: " << MiB(heapAfter)
              << " MiB, after emptying the panes: " << MiB(heapCleared) << " MiB\n"
              << "text in the panes: " << MiB(paneBytes) << " MiB" << std::endl;

    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
    // What the chat keeps beyond its panes: the heap may differ by a little
    // allocator slack, never by a share of every line.
    constexpr std::size_t Slack = 2 << 20;
    EXPECT_LE(heapCleared, heapBefore + Slack)
        << "the chat kept " << MiB(heapCleared - heapBefore) << " MiB that no pane shows";
    ScktComp::SetApplicationErrorHandler(nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    setUpApplication();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
