#include "session/startoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cstdio>

namespace {

QString programName(StartOptions::Front front)
{
    return front == StartOptions::Front::Window ? QStringLiteral("velmora") : QStringLiteral("velmora-term");
}

// QCommandLineParser names the program only through an application object;
// the help text is written here so that it needs none.
QString helpText(StartOptions::Front front)
{
    const bool window = front == StartOptions::Front::Window;
    QString text;
    if (window) {
        text += QStringLiteral("Usage: velmora [--listen | --connect HOST] [--port N] [--no-port-mapping]\n"
                               "Velmora v2, a two-person chat over TCP/IP with keys made afresh for every connection.\n"
                               "Without options the window starts idle.\n");
    } else {
        text += QStringLiteral("Usage: velmora-term (--listen [--keep] | --connect HOST) [--port N] [--no-port-mapping]\n"
                               "Velmora v2 in a terminal: each line of standard input goes to the peer, each line\n"
                               "the peer sends goes to standard output; status and errors go to standard error.\n");
    }
    text += QStringLiteral("\nOptions:\n"
                           "  --listen        wait for a peer on the port (one peer at a time)\n"
                           "  --connect HOST  connect to HOST, a host name, a dotted address or an IPv6 address\n"
                           "                  (with or without brackets: ::1 or [::1])\n"
                           "  --port N        the TCP port, 1 to 65535 (default 1024); both sides must use the same\n"
                           "  --no-port-mapping\n"
                           "                  while listening, do not ask the router (UPnP-IGD, NAT-PMP) to forward\n"
                           "                  the port from the internet\n");
    if (!window)
        text += QStringLiteral("  --keep          with --listen: wait for the next peer when one leaves\n");
    text += QStringLiteral("  -h, --help      show this help and exit\n"
                           "  -v, --version   show the version and exit\n");
    if (!window)
        text += QStringLiteral("\nExit status: 0 when input ends or the peer leaves, 1 on an error, 2 on a usage error.\n");
    return text;
}

StartOptions usageError(StartOptions::Front front, const QString& message)
{
    StartOptions options;
    options.outcome = StartOptions::Outcome::UsageError;
    options.text = programName(front) + QStringLiteral(": ") + message + QStringLiteral("\nTry '")
                   + programName(front) + QStringLiteral(" --help' for more information.\n");
    return options;
}

} // namespace

StartOptions StartOptions::parse(const QStringList& arguments, Front front)
{
    const QCommandLineOption listenOption(QStringLiteral("listen"));
    const QCommandLineOption connectOption(QStringLiteral("connect"), QString(), QStringLiteral("HOST"));
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption keepOption(QStringLiteral("keep"));
    const QCommandLineOption noPortMappingOption(QStringLiteral("no-port-mapping"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")});

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({listenOption, connectOption, portOption, noPortMappingOption, helpOption, versionOption});
    if (front == Front::Terminal)
        parser.addOption(keepOption);

    if (!parser.parse(arguments))
        return usageError(front, parser.errorText());

    StartOptions options;
    if (parser.isSet(helpOption)) {
        options.outcome = Outcome::Help;
        options.text = helpText(front);
        return options;
    }
    if (parser.isSet(versionOption)) {
        options.outcome = Outcome::Version;
        options.text = programName(front) + QStringLiteral(" " VELMORA_VERSION "\n");
        return options;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(front, QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().first()));
    for (const QString& name : {QStringLiteral("listen"), QStringLiteral("connect"), QStringLiteral("port")}) {
        if (parser.optionNames().count(name) > 1)
            return usageError(front, QStringLiteral("--%1 is given more than once.").arg(name));
    }

    options.listen = parser.isSet(listenOption);
    options.host = parser.value(connectOption);
    options.keep = front == Front::Terminal && parser.isSet(keepOption);
    options.portMapping = !parser.isSet(noPortMappingOption);
    if (options.listen && parser.isSet(connectOption))
        return usageError(front, QStringLiteral("--listen and --connect exclude each other."));
    if (parser.isSet(connectOption) && options.host.isEmpty())
        return usageError(front, QStringLiteral("--connect needs a host name or address."));
    if (front == Front::Terminal && !options.listen && !parser.isSet(connectOption))
        return usageError(front, QStringLiteral("say --listen or --connect HOST."));
    if (options.keep && !options.listen)
        return usageError(front, QStringLiteral("--keep goes with --listen."));
    if (parser.isSet(portOption)) {
        bool number = false;
        const QString text = parser.value(portOption);
        const int port = text.toInt(&number);
        if (!number || port < 1 || port > 65535 || text.trimmed() != text)
            return usageError(front, QStringLiteral("--port wants a number from 1 to 65535, not '%1'.").arg(text));
        options.port = port;
    }
    return options;
}

StartOptions StartOptions::parse(int argc, const char* const argv[], Front front)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parse(arguments, front);
}

int StartOptions::report() const
{
    const QByteArray bytes = text.toLocal8Bit();
    std::FILE* stream = outcome == Outcome::UsageError ? stderr : stdout;
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
    return outcome == Outcome::UsageError ? ExitUsage : ExitShown;
}
