// The error-box wording, the address prompt and the about box.
#include "app/aboutbox.h"
#include "app/addressprompt.h"
#include "app/dialogs.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

TEST(ErrorBoxText, FullStopOnlyAfterCharactersSortingAfterTheFullStop)
{
    EXPECT_EQ(errorBoxText("Asynchronous socket error 10061"), "Asynchronous socket error 10061.");
    EXPECT_EQ(errorBoxText("Can't create new socket"), "Can't create new socket.");
    EXPECT_EQ(errorBoxText("Windows socket error: Address already in use (98), on API 'bind'"),
              "Windows socket error: Address already in use (98), on API 'bind'");
    EXPECT_EQ(errorBoxText("List index out of bounds (0)"), "List index out of bounds (0)");
    EXPECT_EQ(errorBoxText("Listening..."), "Listening...");
    EXPECT_EQ(errorBoxText(""), "");
    // '/' sorts right after '.', '-' right before it.
    EXPECT_EQ(errorBoxText("a/"), "a/.");
    EXPECT_EQ(errorBoxText("a-"), "a-");
    EXPECT_EQ(errorBoxText(QStringLiteral("caf\u00e9")), QStringLiteral("caf\u00e9."));
}

TEST(AddressPrompt, LaidOutInDialogUnitsOfItsFont)
{
    AddressPrompt prompt("Computer to connect to", "Address Name:", "peer.example");
    const QFontMetrics metrics(prompt.font());
    const int averageWidth =
        (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") + 26) / 52;
    const int height = metrics.height();
    auto x = [&](int units) { return (units * averageWidth + 2) / 4; };
    auto y = [&](int units) { return (units * height + 4) / 8; };

    EXPECT_EQ(prompt.windowTitle(), "Computer to connect to");
    EXPECT_EQ(prompt.size(), QSize(x(180), y(63)));
    EXPECT_EQ(prompt.minimumSize(), prompt.maximumSize());
    EXPECT_EQ(prompt.promptLabel()->text(), "Address Name:");
    EXPECT_EQ(prompt.promptLabel()->pos(), QPoint(x(8), y(8)));
    EXPECT_EQ(prompt.textField()->geometry().topLeft(), QPoint(x(8), y(19)));
    EXPECT_EQ(prompt.textField()->width(), x(164));
    EXPECT_EQ(prompt.okButton()->geometry(), QRect(x(38), y(41), x(50), y(14)));
    EXPECT_EQ(prompt.cancelButton()->geometry(), QRect(x(92), y(41), x(50), y(14)));
    EXPECT_EQ(prompt.okButton()->text(), "OK");
    EXPECT_EQ(prompt.cancelButton()->text(), "Cancel");
    EXPECT_TRUE(prompt.okButton()->isDefault());
    EXPECT_FALSE(prompt.cancelButton()->isDefault());
}

// Qt appends the application's display name to window titles on the way to
// the window system, so the title is read back from the X server itself.
TEST(AddressPrompt, TitleOnTheXServerIsExactlyTheCaption)
{
    const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    if (xvfbRun.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xprop")).isEmpty())
        GTEST_SKIP() << "needs xvfb-run and xprop";
    QProcess probe;
    probe.start(xvfbRun, {QStringLiteral("-a"), QStringLiteral(VELMORA_PROMPT_TITLE_PROBE)});
    ASSERT_TRUE(probe.waitForFinished(60000));
    const QString output = QString::fromUtf8(probe.readAllStandardOutput());
    ASSERT_EQ(probe.exitCode(), 0) << output.toStdString() << probe.readAllStandardError().toStdString();
    QStringList titles;
    for (const QString& line : output.split(u'\n', Qt::SkipEmptyParts))
        titles << line.section(QStringLiteral(" = "), 1);
    EXPECT_EQ(titles.join(u'|').toStdString(), "\"Computer to connect to\"|\"Computer to connect to\"")
        << output.toStdString();
}

TEST(AddressPrompt, StartsWithAllTextSelectedAndTakesAtMost255Characters)
{
    AddressPrompt prompt("Computer to connect to", "Address Name:", "peer.example");
    EXPECT_EQ(prompt.textField()->text(), "peer.example");
    EXPECT_EQ(prompt.textField()->selectedText(), "peer.example");
    prompt.textField()->setText(QString(300, u'a'));
    EXPECT_EQ(prompt.text().size(), 255);
}

TEST(AddressPrompt, EnterConfirmsAndEscapeCancels)
{
    {
        AddressPrompt prompt("Computer to connect to", "Address Name:", "");
        prompt.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&prompt));
        QTest::keyClicks(prompt.textField(), "127.0.0.1");
        QTest::keyClick(prompt.textField(), Qt::Key_Return);
        EXPECT_EQ(prompt.result(), QDialog::Accepted);
        EXPECT_EQ(prompt.text(), "127.0.0.1");
    }
    {
        AddressPrompt prompt("Computer to connect to", "Address Name:", "kept");
        prompt.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&prompt));
        QTest::keyClick(prompt.textField(), Qt::Key_Escape);
        EXPECT_FALSE(prompt.isVisible());
        EXPECT_EQ(prompt.result(), QDialog::Rejected);
    }
}

TEST(AboutBox, FramelessBlueBoxWithBannerTextAndCloseButton)
{
    AboutBox box;
    EXPECT_TRUE(box.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(box.size(), QSize(528, 275));
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    EXPECT_EQ(box.palette().color(QPalette::Window), QColor(0, 105, 179));
    EXPECT_TRUE(box.autoFillBackground());

    EXPECT_EQ(box.banner()->geometry(), QRect(0, 0, 528, 79));
    ASSERT_FALSE(box.banner()->pixmap().isNull());
    EXPECT_EQ(box.banner()->pixmap().size(), QSize(528, 79));

    EXPECT_EQ(box.description()->text(),
              "Velmora v2 is a public-key based chat application which works via the Internet (TCP/IP).");
    EXPECT_EQ(box.description()->pos(), QPoint(16, 84));
    EXPECT_EQ(box.description()->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(box.description()->font().pixelSize(), 11);

    EXPECT_EQ(box.closeButton()->text(), "Close");
    EXPECT_EQ(box.closeButton()->geometry(), QRect(444, 244, 75, 25));
    EXPECT_EQ(box.hotSpot()->geometry(), QRect(508, 4, 17, 17));
}

TEST(AboutBox, EscapeDoesNotCloseIt)
{
    AboutBox box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    QTest::keyClick(&box, Qt::Key_Escape);
    EXPECT_TRUE(box.isVisible());
}

TEST(AboutBox, CloseButtonClosesIt)
{
    AboutBox box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    QTest::mouseClick(box.closeButton(), Qt::LeftButton);
    EXPECT_FALSE(box.isVisible());
}

TEST(AboutBox, HotSpotClosesOnReleaseInsideOnly)
{
    AboutBox box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    QWidget* spot = box.hotSpot();

    // Pressed inside but released outside the square: stays open.
    QTest::mousePress(spot, Qt::LeftButton, {}, QPoint(8, 8));
    QTest::mouseRelease(spot, Qt::LeftButton, {}, QPoint(30, 8));
    EXPECT_TRUE(box.isVisible());

    // Any button released inside closes it.
    QTest::mousePress(spot, Qt::RightButton, {}, QPoint(16, 16));
    QTest::mouseRelease(spot, Qt::RightButton, {}, QPoint(16, 16));
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.result(), QDialog::Accepted);
}

TEST(AboutBox, ShownModallyFromItsCommandAndClosable)
{
    AboutBox box;
    // A real modal run: the hot spot closes it from inside its own event loop.
    QTimer::singleShot(0, &box, [&box] {
        QTest::mouseRelease(box.hotSpot(), Qt::LeftButton, {}, QPoint(1, 1));
    });
    // Should the hot spot fail, the run still ends, and the check below fails.
    QTimer::singleShot(20000, &box, [&box] { box.done(QDialog::Rejected); });
    WidgetDialogs dialogs;
    dialogs.showAbout(box);
    EXPECT_EQ(box.result(), QDialog::Accepted);
    EXPECT_FALSE(box.isVisible());
}
