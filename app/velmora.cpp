// Velmora v2: a two-person chat over TCP/IP with keys made afresh for every
// connection.
#include "chatlook.h"
#include "dialogs.h"
#include "main.h"
#include "net/ScktComp.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    setUpApplication();

    WidgetDialogs dialogs;
    TChatForm chatForm(dialogs);
    // Errors escaping a socket notification end up in the same error box as
    // those of commands and keys.
    ScktComp::SetApplicationErrorHandler([&chatForm](const std::exception& error) { chatForm.ShowError(error); });
    chatForm.show();

    const int exitCode = QApplication::exec();
    ScktComp::SetApplicationErrorHandler(nullptr);
    return exitCode;
}
