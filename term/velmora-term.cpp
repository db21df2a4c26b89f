// velmora-term: Velmora v2 in a terminal. Standard input goes to the peer line
// by line, the peer's lines come out on standard output, and everything else
// goes to standard error.
#include "link/chatlink.h"
#include "link/unhandlederrorroute.h"
#include "portmap/portmapper.h"
#include "session/startoptions.h"
#include "term/termchat.h"

#include <QCoreApplication>
#include <QFile>

#include <unistd.h>

int main(int argc, char* argv[])
{
    const StartOptions options = StartOptions::parse(argc, argv, StartOptions::Front::Terminal);
    if (options.outcome != StartOptions::Outcome::Start)
        return options.report();

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmora-term"));

    ChatLink::setPortMapperFactory([](QObject* parent) { return new PortMapper(parent); });
    QFile out, err;
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    TermChat chat(options, STDIN_FILENO, out, err);
    const UnhandledErrorRoute errors([&chat](const std::exception& error) { chat.handleError(error); });
    QObject::connect(
        &chat, &TermChat::finished, &application, [](int exitCode) { QCoreApplication::exit(exitCode); },
        Qt::QueuedConnection);
    chat.start();
    return QCoreApplication::exec();
}
