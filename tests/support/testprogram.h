// A program of the build run by a test, its standard streams on pipes.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class TestProgram {
public:
    // Whether a listening run may ask the router to forward its port. The
    // suites run on machines whose network is not theirs: only the router
    // test, in namespaces of its own, lets a program speak to a router.
    enum class PortMapping { Off, Asked };

    // The bound on every wait: generous, for a loaded machine.
    static constexpr std::chrono::milliseconds Patience{60000};

    TestProgram(const QString& path, QStringList arguments,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                PortMapping mapping = PortMapping::Off)
    {
        if (mapping == PortMapping::Off && arguments.contains(QStringLiteral("--listen")))
            arguments << QStringLiteral("--no-port-mapping");
        process_.setProgram(path);
        process_.setArguments(arguments);
        process_.setProcessEnvironment(environment);
        process_.start();
        process_.waitForStarted();
    }
    ~TestProgram()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    TestProgram(const TestProgram&) = delete;
    TestProgram& operator=(const TestProgram&) = delete;

    // Runs the event loop until `done` holds or Patience has passed; `done()`.
    static bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = Patience)
    {
        const QDeadlineTimer deadline(timeout);
        while (!done()) {
            if (deadline.hasExpired())
                return done();
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        }
        return true;
    }

    void type(const QStringList& lines) { process_.write((lines.join('\n') + '\n').toUtf8()); }
    void endInput() { process_.closeWriteChannel(); }
    QByteArray& out()
    {
        out_ += process_.readAllStandardOutput();
        return out_;
    }
    QByteArray& err()
    {
        err_ += process_.readAllStandardError();
        return err_;
    }
    // Waits for the end of the program; its exit status, or -1 when it did not end.
    int waitExit()
    {
        if (!waitUntil([this] { return process_.state() == QProcess::NotRunning; }))
            return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

private:
    QProcess process_;
    QByteArray out_, err_;
};
