// Velmora v2: a two-person chat over TCP/IP with keys made afresh for every
// connection. The program entry of the window.
#include "app/chatform.h"
#include "app/chatlook.h"
#include "app/dialogs.h"
#include "link/chatlink.h"
#include "link/unhandlederrorroute.h"
#include "session/startoptions.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    // Help, version and usage errors are answered before the window system is
    // touched, so that they work without a display.
    const StartOptions options = StartOptions::parse(argc, argv, StartOptions::Front::Window);
    if (options.outcome != StartOptions::Outcome::Start)
        return options.report();

    QApplication application(argc, argv);
    setUpApplication();

    WidgetDialogs dialogs;
    TChatForm chatForm(dialogs);
    chatForm.link().setPort(options.port);
    // Errors escaping a socket notification end up in the same error box as
    // those of commands and keys.
    const UnhandledErrorRoute errors([&chatForm](const std::exception& error) { chatForm.ShowError(error); });
    chatForm.show();

    // The start the command line asks for runs once the window is up, as the
    // menu command would.
    QTimer::singleShot(0, &chatForm, [&chatForm, &options] { chatForm.start(options); });
    return QApplication::exec();
}
