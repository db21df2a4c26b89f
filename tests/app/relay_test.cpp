// Two chat windows talking through a relay that cuts what passes as a network
// would: every line typed on one side shows on the other as typed.
#include "tests/support/apptestsupport.h"
#include "tests/support/propertyseed.h"

#include "app/chatform.h"
#include "session/chatsession.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using nettest::Fd;
using nettest::connectRaw;
using nettest::listenRaw;
using nettest::readRawNow;
using nettest::sendRaw;

enum class Cutting { Segments, RandomPieces, Joined, Paused };

// Forwards one connection between a connecting window and a listening one,
// cutting each direction as `cutting` says: segments of at most 1,448 bytes
// 5 to 20 ms apart, random pieces of 536 to 1,448 bytes, or every send joined
// with the next into one write; or segments with a pause before a quarter of
// them, as a lost segment waits for its retransmission or a full socket buffer
// drains. It runs on a thread of its own, as a network does. No piece but
// the last of what a window sent is shorter than 536 bytes, the smallest
// segment every IPv4 path carries: the receiver takes a read that short for
// the end of a write and shows it after 60 ms of quiet, which a loaded
// machine can stretch a gap between two pieces past (pieces of every size
// arrive on a clock of the test's own in the assembler's tests). The pauses
// stay well below the receiver's pause time (1.6 s). Seeded, so a run can be
// repeated.
class RechunkRelay {
public:
    RechunkRelay(Cutting cutting, std::uint16_t target, std::uint64_t seed)
        : cutting_(cutting), target_(target), random_(seed), listener_(listenRaw(port_))
    {
        // A thread of its own, as a network is: a long step of either window
        // on the test's event loop must not hold the bytes back, or the
        // receiver, once its turn comes, finds the peer quiet for that long.
        worker_ = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                tick();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    std::uint16_t port() const { return port_; }

private:
    struct Direction {
        int from = -1, to = -1;
        std::deque<std::string> sends;  // one per read, as the sender wrote them
        std::string pending;
        Clock::time_point nextWrite{};
    };

    void tick()
    {
        if (!down_.valid()) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 0) != 1)
                return;
            down_ = Fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            up_ = connectRaw(target_);
            directions_[0].from = directions_[1].to = down_.get();
            directions_[0].to = directions_[1].from = up_.get();
        }
        for (Direction& direction : directions_) {
            if (std::string read = readRawNow(direction.from); !read.empty())
                direction.sends.push_back(std::move(read));
            forward(direction);
        }
    }

    void forward(Direction& direction)
    {
        const auto now = Clock::now();
        if (cutting_ == Cutting::Joined) {
            // Two sends in one write; a lone one (a key message) after a wait.
            if (direction.sends.size() >= 2 || (!direction.sends.empty() && now >= direction.nextWrite)) {
                std::string joined = direction.sends.front();
                direction.sends.pop_front();
                if (!direction.sends.empty()) {
                    joined += direction.sends.front();
                    direction.sends.pop_front();
                }
                sendRaw(direction.to, joined);
            }
            if (direction.sends.size() == 1 && direction.nextWrite < now)
                direction.nextWrite = now + std::chrono::milliseconds(30);
            return;
        }
        for (; !direction.sends.empty(); direction.sends.pop_front())
            direction.pending += direction.sends.front();
        if (direction.pending.empty() || now < direction.nextWrite)
            return;
        const std::size_t size = cutting_ == Cutting::RandomPieces
                                     ? std::uniform_int_distribution<std::size_t>(536, 1448)(random_)
                                     : 1448;
        sendRaw(direction.to, direction.pending.substr(0, size));
        direction.pending.erase(0, std::min(size, direction.pending.size()));
        const auto between = [this](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); };
        const int gap = cutting_ == Cutting::RandomPieces                     ? between(0, 10)
                        : cutting_ == Cutting::Paused && random_() % 4 == 0 ? between(210, 1000)
                                                                              : between(5, 20);
        direction.nextWrite = now + std::chrono::milliseconds(gap);
    }

    Cutting cutting_;
    std::uint16_t target_;
    std::mt19937_64 random_;
    std::uint16_t port_ = 0;
    Fd listener_, down_, up_;
    Direction directions_[2];
    std::jthread worker_;  // last: it stops before the sockets close
};

// A typed line of 1 to 10,000 bytes of UTF-8, some of it beyond ASCII.
QString randomLine(std::mt19937_64& random)
{
    const int bytes = std::uniform_int_distribution<int>(1, 10000)(random);
    QString line;
    while (line.toUtf8().size() < bytes)
        line += random() % 16 == 0 ? QStringLiteral("\u00e9\u20ac") : QString(QChar(static_cast<char16_t>(u' ' + random() % 95)));
    return line;
}

class WindowsThroughRelay : public testing::TestWithParam<Cutting> {};

TEST_P(WindowsThroughRelay, EveryLineArrivesAsTyped)
{
    std::mt19937_64 random(PropertySeed("WindowsThroughRelay.EveryLineArrivesAsTyped"));
    FakeDialogs dialogs;
    TChatForm listening{dialogs}, connecting{dialogs};
    const int port = freePort();
    listening.link().serverSocket()->SetPort(port);
    RechunkRelay relay(GetParam(), static_cast<std::uint16_t>(port), random());
    connecting.link().clientSocket()->SetPort(relay.port());
    listening.FileListenItem->trigger();
    connecting.ConnectTo(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return !listening.session().awaitingKey() && !connecting.session().awaitingKey()
                                    && connecting.status().startsWith("Connected to: "); }));

    QStringList toListening, toConnecting;
    for (int round = 0; round < 3; ++round) {
        // Two lines each way, typed back to back.
        for (int i = 0; i < 2; ++i) {
            toListening << randomLine(random);
            connecting.Edit1->setText(toListening.last());
            QTest::keyClick(connecting.Edit1, Qt::Key_Return);
            toConnecting << randomLine(random);
            listening.Edit1->setText(toConnecting.last());
            QTest::keyClick(listening.Edit1, Qt::Key_Return);
        }
        ASSERT_TRUE(waitUntil([&] {
            return listening.Memo2->toPlainText() == toListening.join('\n')
                && connecting.Memo2->toPlainText() == toConnecting.join('\n');
        })) << "round " << round << ": the listening window shows "
            << listening.Memo2->toPlainText().split('\n').size() << " lines for " << toListening.size()
            << ", the connecting one " << connecting.Memo2->toPlainText().split('\n').size() << " for "
            << toConnecting.size() << "; errors: " << dialogs.errors.join(" | ").toStdString();
    }
    EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join('\n').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cuttings, WindowsThroughRelay,
                         testing::Values(Cutting::Segments, Cutting::RandomPieces, Cutting::Joined, Cutting::Paused),
                         [](const testing::TestParamInfo<Cutting>& info) {
                             return std::string(info.param == Cutting::Segments       ? "Segments"
                                                : info.param == Cutting::RandomPieces ? "RandomPieces"
                                                : info.param == Cutting::Joined       ? "Joined"
                                                                                      : "Paused");
                         });

} // namespace
