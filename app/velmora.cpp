// Velmora v2: a two-person chat over TCP/IP with keys made afresh for every
// connection. The program entry of the window.
#include "app/chatform.h"
#include "app/chatlook.h"
#include "app/dialogs.h"
#include "link/chatlink.h"
#include "link/unhandlederrorroute.h"
#include "portmap/portmapper.h"
#include "session/startoptions.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

// The exit status of a start without a display, as of any other failed run.
constexpr int ExitNoDisplay = 1;

// Whether the window system Qt picks can open a window here. X11 and Wayland
// need the address of a desktop session; any other platform named in
// QT_QPA_PLATFORM (offscreen, minimal, a frame buffer) needs none. Without
// this check Qt ends the program with an abort.
bool displayAvailable()
{
    const QString platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (const QString& entry : platforms.split(u';', Qt::SkipEmptyParts)) {
        const QString name = entry.section(u':', 0, 0).trimmed();
        if (!name.startsWith(QLatin1String("xcb")) && !name.startsWith(QLatin1String("wayland")))
            return true;
    }
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char* argv[])
{
    // Help, version and usage errors are answered before the window system is
    // touched, so that they work without a display.
    const StartOptions options = StartOptions::parse(argc, argv, StartOptions::Front::Window);
    if (options.outcome != StartOptions::Outcome::Start)
        return options.report();
    if (!displayAvailable()) {
        std::fputs("velmora: Velmora v2 is a desktop program and needs a display; neither DISPLAY nor\n"
                   "WAYLAND_DISPLAY is set. Start it from a desktop session, or under a virtual one:\n"
                   "xvfb-run -a velmora. velmora-term is the same chat in a terminal.\n",
                   stderr);
        return ExitNoDisplay;
    }

    QApplication application(argc, argv);
    setUpApplication();

    ChatLink::setPortMapperFactory([](QObject* parent) { return new PortMapper(parent); });
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
