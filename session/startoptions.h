// The command line of both front ends: --listen, --connect HOST, --port N,
// --no-port-mapping, --help and --version; the terminal front end adds --keep.
#pragma once

#include "session/wireformat.h"

#include <QString>
#include <QStringList>

class StartOptions {
public:
    enum class Front { Window, Terminal };
    enum class Outcome { Start, Help, Version, UsageError };

    static constexpr int DefaultPort = WireFormat::Port;
    // Exit statuses of a run that did not start: help and version, usage error.
    static constexpr int ExitShown = 0;
    static constexpr int ExitUsage = 2;

    // Reads `arguments`, the program's name first. Needs no application object,
    // so that help and version work without a display.
    static StartOptions parse(const QStringList& arguments, Front front);
    // Reads the command line main() was given.
    static StartOptions parse(int argc, const char* const argv[], Front front);

    // Prints the help text or version line on standard output, or the usage
    // error on standard error, and returns the exit status for it.
    int report() const;

    Outcome outcome = Outcome::Start;
    // The help text, the version line or the usage error.
    QString text;
    bool listen = false;
    // Not empty: connect to this host at start.
    QString host;
    int port = DefaultPort;
    bool keep = false;
    // Whether listening asks the local network's router to forward the port
    // (off with --no-port-mapping, for this run only).
    bool portMapping = true;
};
