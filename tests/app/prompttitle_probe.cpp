// Opens the address prompt on an X display, with the program's own set-up and
// dialogs, and prints the prompt's title properties as the X server holds
// them (xprop). dialogs_test runs it under xvfb-run.
#include "app/chatlook.h"
#include "app/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    setUpApplication();

    int status = 1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* prompt = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!prompt || !QTest::qWaitForWindowExposed(prompt->windowHandle()))
            return;
        poll.stop();
        QProcess xprop;
        xprop.start(QStringLiteral("xprop"),
                    {QStringLiteral("-id"), QString::number(prompt->winId()), QStringLiteral("_NET_WM_NAME"),
                     QStringLiteral("WM_NAME")});
        if (xprop.waitForFinished(10000) && xprop.exitCode() == 0) {
            std::fputs(xprop.readAllStandardOutput().constData(), stdout);
            status = 0;
        }
        prompt->reject();
    });
    poll.start(50);

    WidgetDialogs dialogs;
    dialogs.promptText(nullptr, QStringLiteral("Computer to connect to"), QStringLiteral("Address Name:"), QString());
    return status;
}
