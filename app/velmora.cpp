// Velmora v2: a two-person chat over TCP/IP with keys made afresh for every
// connection.
#include "chatlook.h"
#include "dialogs.h"
#include "main.h"
#include "net/ScktComp.h"
#include "session/startoptions.h"

#include <QAction>
#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    // Help, version and usage errors are answered before the window system is
    // touched, so that they work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const StartOptions options = StartOptions::parse(arguments, StartOptions::Front::Window);
    if (options.outcome != StartOptions::Outcome::Start)
        return options.report();

    QApplication application(argc, argv);
    setUpApplication();

    WidgetDialogs dialogs;
    TChatForm chatForm(dialogs);
    chatForm.ServerSocket->SetPort(options.port);
    chatForm.ClientSocket->SetPort(options.port);
    // Errors escaping a socket notification end up in the same error box as
    // those of commands and keys.
    ScktComp::SetApplicationErrorHandler([&chatForm](const std::exception& error) { chatForm.ShowError(error); });
    chatForm.show();

    // The start the command line asks for runs once the window is up, as the
    // menu command would.
    QTimer::singleShot(0, &chatForm, [&chatForm, &options] {
        if (options.listen) {
            chatForm.FileListenItem->trigger();
        } else if (!options.host.isEmpty()) {
            try {
                chatForm.ConnectTo(options.host);
            } catch (const std::exception& error) {
                chatForm.ShowError(error);
            }
        }
    });

    const int exitCode = QApplication::exec();
    ScktComp::SetApplicationErrorHandler(nullptr);
    return exitCode;
}
