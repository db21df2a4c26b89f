// The command line of both front ends: what starts, and what is a usage error.
#include "session/startoptions.h"

#include <gtest/gtest.h>

namespace {

using Front = StartOptions::Front;
using Outcome = StartOptions::Outcome;

struct Case {
    Front front;
    QStringList arguments;
    Outcome outcome;
    bool listen = false;
    QString host;
    int port = 1024;
    bool keep = false;
};

Case make(Front front, const QStringList& arguments, Outcome outcome, bool listen = false, const QString& host = {},
          int port = 1024, bool keep = false)
{
    return Case{front, arguments, outcome, listen, host, port, keep};
}

void PrintTo(const Case& c, std::ostream* os)
{
    *os << (c.front == Front::Window ? "velmora " : "velmora-term ") << c.arguments.join(' ').toStdString();
}

class CommandLine : public testing::TestWithParam<Case> {};

TEST_P(CommandLine, ParsesToTheExpectedStart)
{
    const Case& c = GetParam();
    const StartOptions options = StartOptions::parse(QStringList{"prog"} + c.arguments, c.front);
    ASSERT_EQ(options.outcome, c.outcome) << options.text.toStdString();
    if (c.outcome == Outcome::UsageError) {
        EXPECT_TRUE(options.text.contains("--help")) << options.text.toStdString();
        return;
    }
    EXPECT_EQ(options.listen, c.listen);
    EXPECT_EQ(options.host, c.host);
    EXPECT_EQ(options.port, c.port);
    EXPECT_EQ(options.keep, c.keep);
}

INSTANTIATE_TEST_SUITE_P(
    Both, CommandLine,
    testing::Values(make(Front::Window, {}, Outcome::Start),
                    make(Front::Window, {"--listen"}, Outcome::Start, true),
                    make(Front::Window, {"--connect", "example.org"}, Outcome::Start, false, "example.org"),
                    make(Front::Window, {"--connect=10.1.2.3", "--port", "65535"}, Outcome::Start, false, "10.1.2.3", 65535),
                    make(Front::Window, {"--port=1"}, Outcome::Start, false, "", 1),
                    make(Front::Terminal, {"--listen", "--keep", "--port", "4000"}, Outcome::Start, true, "", 4000, true),
                    make(Front::Terminal, {"--connect", "h"}, Outcome::Start, false, "h"),
                    make(Front::Window, {"--help"}, Outcome::Help),
                    make(Front::Terminal, {"-h"}, Outcome::Help),
                    make(Front::Window, {"--version"}, Outcome::Version),
                    make(Front::Terminal, {"-v", "--listen"}, Outcome::Version),
                    make(Front::Terminal, {}, Outcome::UsageError),
                    make(Front::Terminal, {"--keep", "--connect", "h"}, Outcome::UsageError),
                    make(Front::Window, {"--keep"}, Outcome::UsageError),
                    make(Front::Window, {"--listen", "--connect", "h"}, Outcome::UsageError),
                    make(Front::Window, {"--listen", "--listen"}, Outcome::UsageError),
                    make(Front::Window, {"--connect"}, Outcome::UsageError),
                    make(Front::Window, {"--connect", ""}, Outcome::UsageError),
                    make(Front::Window, {"--port", "0"}, Outcome::UsageError),
                    make(Front::Window, {"--port", "65536"}, Outcome::UsageError),
                    make(Front::Terminal, {"--listen", "--port", "12ab"}, Outcome::UsageError),
                    make(Front::Terminal, {"--listen", "--port", " 80"}, Outcome::UsageError),
                    make(Front::Window, {"stray"}, Outcome::UsageError),
                    make(Front::Window, {"--bogus"}, Outcome::UsageError)));

} // namespace
