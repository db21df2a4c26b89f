// What the window offers beyond its layout: names and descriptions for a screen
// reader, keyboard reach, and text that reads on its background.
#include "tests/support/apptestsupport.h"

#include "app/aboutbox.h"
#include "app/addressprompt.h"
#include "app/chatlook.h"
#include "app/chatform.h"
#include "tests/support/propertyseed.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <iostream>
#include <random>

namespace {

// What a screen reader is told of `widget`.
QString accessibleText(QWidget* widget, QAccessible::Text kind)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(kind) : QString();
}

class WindowLook : public testing::Test {
protected:
    FakeDialogs dialogs;
    TChatForm form{dialogs};
};

} // namespace

TEST_F(WindowLook, EveryControlHasANameAndADescription)
{
    const QList<QWidget*> controls = {form.MainMenu1, form.File1, form.Help1, form.SpeedButton1, form.Image1,
                                      form.GIFImage1, form.Memo1, form.Edit1, form.Memo2, form.StatusBar1,
                                      form.StatusBar1->findChild<QLabel*>()};
    for (QWidget* control : controls) {
        ASSERT_NE(control, nullptr);
        EXPECT_FALSE(accessibleText(control, QAccessible::Name).isEmpty()) << control->objectName().toStdString();
        EXPECT_FALSE(accessibleText(control, QAccessible::Description).isEmpty())
            << control->objectName().toStdString();
    }
    // Whatever can take the focus is named, including controls added later.
    for (QWidget* widget : form.findChildren<QWidget*>()) {
        if (widget->focusPolicy() & Qt::TabFocus) {
            EXPECT_FALSE(accessibleText(widget, QAccessible::Name).isEmpty()) << widget->metaObject()->className();
        }
    }
    for (QWidget* widget : form.aboutBox().findChildren<QWidget*>())
        EXPECT_FALSE(accessibleText(widget, QAccessible::Name).isEmpty()) << widget->metaObject()->className();
    AddressPrompt prompt("Computer to connect to", "Address Name:", "", &form);
    for (QWidget* widget : prompt.findChildren<QWidget*>())
        EXPECT_FALSE(accessibleText(widget, QAccessible::Name).isEmpty()) << widget->metaObject()->className();

    // The panes say which is which, the input line what Enter does.
    EXPECT_TRUE(accessibleText(form.Memo1, QAccessible::Name).contains("Sent"));
    EXPECT_TRUE(accessibleText(form.Memo2, QAccessible::Name).contains("Received"));
    EXPECT_TRUE(accessibleText(form.Edit1, QAccessible::Description).contains("Enter sends"));
}

TEST_F(WindowLook, EveryCommandHasAnAccessKeyAndTabFollowsTheLayout)
{
    for (const QMenu* menu : {form.File1, form.Help1}) {
        EXPECT_FALSE(QKeySequence::mnemonic(menu->title()).isEmpty()) << menu->title().toStdString();
        QList<QKeySequence> keys;
        for (const QAction* action : menu->actions()) {
            if (action->isSeparator())
                continue;
            const QKeySequence key = QKeySequence::mnemonic(action->text());
            EXPECT_FALSE(key.isEmpty()) << action->text().toStdString();
            EXPECT_FALSE(keys.contains(key)) << action->text().toStdString();
            keys << key;
        }
    }

    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    ASSERT_EQ(QApplication::focusWidget(), form.Edit1);
    // Top to bottom, then round again; the disabled sent pane is passed over.
    const QList<QWidget*> order = {form.Memo2, form.SpeedButton1, form.Edit1};
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << QApplication::focusWidget()->objectName().toStdString();
    }
    // The tool button runs its command from the keyboard.
    form.SpeedButton1->setFocus();
    dialogs.answers.push_back(std::nullopt);
    QTest::keyClick(form.SpeedButton1, Qt::Key_Space);
    EXPECT_EQ(dialogs.promptCaptions, QStringList({"Computer to connect to"}));
}

TEST_F(WindowLook, PaneTextReadsOnItsBackground)
{
    const QPalette sent = form.Memo1->palette();
    const QPalette incoming = form.Memo2->palette();
    const double sentRatio = contrastRatio(sent.color(QPalette::Disabled, QPalette::Text),
                                           sent.color(QPalette::Disabled, QPalette::Base));
    const double incomingRatio = contrastRatio(incoming.color(QPalette::Active, QPalette::Text),
                                               incoming.color(QPalette::Active, QPalette::Base));
    const double incomingInactiveRatio = contrastRatio(incoming.color(QPalette::Inactive, QPalette::Text),
                                                       incoming.color(QPalette::Inactive, QPalette::Base));
    std::cout << "contrast: sent pane " << sentRatio << ":1 (" << sent.color(QPalette::Disabled, QPalette::Text).name().toStdString()
              << " on " << sent.color(QPalette::Disabled, QPalette::Base).name().toStdString() << "), incoming pane "
              << incomingRatio << ":1 (" << incoming.color(QPalette::Active, QPalette::Text).name().toStdString()
              << " on " << incoming.color(QPalette::Active, QPalette::Base).name().toStdString() << ")" << std::endl;
    EXPECT_FALSE(form.Memo1->isEnabled());
    EXPECT_GE(sentRatio, ReadableContrast);
    EXPECT_GE(incomingRatio, ReadableContrast);
    EXPECT_GE(incomingInactiveRatio, ReadableContrast);
}

// Whatever the theme's colours, the chosen text colour reads on its background,
// and a colour that already reads is kept.
TEST(ChatLook, ReadableOnAnyBackground)
{
    std::mt19937_64 random(PropertySeed("ChatLook.ReadableOnAnyBackground"));
    std::uniform_int_distribution<int> channel(0, 255);
    const auto colour = [&] { return QColor(channel(random), channel(random), channel(random)); };
    EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
    EXPECT_NEAR(contrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
    for (int i = 0; i < 2000; ++i) {
        const QColor background = colour();
        const QColor preferred = colour();
        const QColor chosen = readableOn(background, preferred);
        ASSERT_GE(contrastRatio(chosen, background), ReadableContrast)
            << background.name().toStdString() << " " << preferred.name().toStdString();
        if (contrastRatio(preferred, background) >= ReadableContrast) {
            ASSERT_EQ(chosen, preferred);
        }
        ASSERT_NEAR(contrastRatio(background, preferred), contrastRatio(preferred, background), 1e-12);
    }
}

// Every picture comes at its design size, drawn twice as fine for a HiDPI screen.
TEST(ChatLook, PicturesHaveTheirSizeAtBothScales)
{
    const QList<std::pair<QString, QSize>> pictures = {
        {"velmora", {32, 32}}, {"connect", {24, 24}}, {"lock-open", {32, 32}},
        {"lock-closed", {32, 32}}, {"logo", {100, 36}}, {"banner", {528, 79}}};
    for (const auto& [name, size] : pictures) {
        const QPixmap normal = chatPicture(name, 1.0);
        const QPixmap fine = chatPicture(name, 2.0);
        EXPECT_EQ(normal.size(), size) << name.toStdString();
        EXPECT_EQ(fine.size(), size * 2) << name.toStdString();
        EXPECT_EQ(fine.deviceIndependentSize(), QSizeF(size)) << name.toStdString();
    }
    EXPECT_EQ(chatIcon("connect").pixmap(QSize(24, 24), 2.0).size(), QSize(48, 48));
    EXPECT_NE(chatPicture("lock-open", 1.0).toImage(), chatPicture("lock-closed", 1.0).toImage());
}
