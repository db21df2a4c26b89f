// Runs a test of this program inside a private network namespace made by
// scripts/netns-run.sh, where it can have host names and routes of its own
// and no packet it sends can leave the machine.
#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nettest {

struct PrivateNetwork {
    std::vector<std::pair<std::string, std::string>> files; // (path, text inside), as /etc/hosts
    std::vector<std::string> unreachable;                   // IPv6 prefixes routed as unreachable inside
};

enum class NetworkRun {
    Inside,  // this process runs inside the namespace: the test goes on
    Done,    // the test ran inside in a child process, whose outcome is checked
    Skipped, // no namespace can be made here; the reason is in `why`
};

// How long the run inside may take. A namespace is made in milliseconds; the
// bound is for a kernel that stalls, which has been seen to hold namespace
// set-up for minutes on an overloaded machine.
inline constexpr int kPrivateRunMs = 120'000;

// Called first in a test. Outside the namespace it runs the same test again
// in a child process of this program inside one, and checks that it passed.
inline NetworkRun runInPrivateNetwork(const PrivateNetwork& network, std::string& why)
{
    static const char* const kInside = "VELMORA_IN_PRIVATE_NETWORK";
    if (qEnvironmentVariableIsSet(kInside))
        return NetworkRun::Inside;
    if (::geteuid() != 0) {
        why = "a private network namespace needs root; run the suite as root to test this";
        return NetworkRun::Skipped;
    }
    QStringList arguments{QStringLiteral(VELMORA_NETNS_RUN), QStringLiteral("--announce")};
    std::vector<std::unique_ptr<QTemporaryFile>> texts;
    for (const auto& [path, text] : network.files) {
        auto& file = texts.emplace_back(std::make_unique<QTemporaryFile>());
        if (!file->open() || file->write(text.data(), static_cast<qint64>(text.size())) < 0 || !file->flush()) {
            ADD_FAILURE() << "cannot write the text for " << path;
            return NetworkRun::Done;
        }
        arguments << QStringLiteral("--bind") << file->fileName() << QString::fromStdString(path);
    }
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    for (const std::string& prefix : network.unreachable)
        arguments << QStringLiteral("--unreachable") << QString::fromStdString(prefix);
    arguments << QStringLiteral("--") << QCoreApplication::applicationFilePath()
              << QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name());

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kInside), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("/bin/sh"), arguments);
    const bool finished = child.waitForFinished(kPrivateRunMs);
    if (!finished)
        child.kill();
    child.waitForFinished();
    const std::string output = child.readAll().toStdString();
    if (!finished && output.find("netns-run.sh: namespace ready") == std::string::npos) {
        why = "the private network namespace was not ready after " + std::to_string(kPrivateRunMs / 1000) +
              " s: the system is stalled or overloaded\n" + output;
        return NetworkRun::Skipped;
    }
    if (!finished || child.exitStatus() != QProcess::NormalExit) {
        ADD_FAILURE() << "the run inside the private network did not finish:\n" << output;
        return NetworkRun::Done;
    }
    if (child.exitCode() == 77 || (child.exitCode() == 0 && output.find("[  SKIPPED ]") != std::string::npos)) {
        why = output;
        return NetworkRun::Skipped;
    }
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
    return NetworkRun::Done;
}

} // namespace nettest
