// Helpers shared by the window and terminal suites: scripted dialogs, a recording chat view,
// bounded waits and loopback peers made of plain sockets (built on netsupport.h).
#pragma once

#include "app/dialogs.h"
#include "link/chatlink.h"
#include "tests/support/netsupport.h"
#include "tests/support/recordingview.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>

// Answers every prompt from a script and records what the window showed.
class FakeDialogs : public Dialogs {
public:
    std::deque<std::optional<QString>> answers;
    QStringList promptCaptions, promptLabels, promptInitialTexts;
    QStringList errors;
    int aboutShown = 0;
    // The windows that asked for attention, in order.
    QList<QWidget*> alerted;

    std::optional<QString> promptText(QWidget*, const QString& caption, const QString& prompt,
                                      const QString& initialText) override;
    // Runs while an error box is "open", as the user's time over it: the
    // window's event loop goes on meanwhile, as it does under a modal box.
    std::function<void(const QString& message)> whileErrorShown;

    void showError(QWidget*, const QString& message) override
    {
        errors << message;
        if (whileErrorShown)
            whileErrorShown(message);
    }
    void showAbout(QDialog&) override { ++aboutShown; }
    void alert(QWidget* window) override { alerted << window; }
};

// Processes events until `done` holds or `timeout` has passed; returns `done()`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(60));
// Runs the event loop until two markers posted one after the other have come
// back through it, then deletes what waits for deletion: every notification
// that was pending when it was called has been processed. For checks that
// something did NOT follow from what the test has already seen happen.
void drainEvents();

// A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
int freePort();

// One end of a loopback TCP connection driven by hand, with non-blocking I/O.
class RawEnd {
public:
    RawEnd() = default;
    explicit RawEnd(int fd) : fd_(fd) {}
    RawEnd(RawEnd&& other) noexcept : fd_(other.fd_), received_(std::move(other.received_)) { other.fd_ = -1; }
    RawEnd& operator=(RawEnd&& other) noexcept;
    RawEnd(const RawEnd&) = delete;
    RawEnd& operator=(const RawEnd&) = delete;
    ~RawEnd();

    // Connects to 127.0.0.1:port; the connection may still be under way on return.
    // A receive buffer size other than 0 is set before connecting.
    static RawEnd connectTo(int port, int receiveBuffer = 0);
    bool valid() const { return fd_ >= 0; }
    void send(const std::string& bytes);
    // Closes with a reset instead of an orderly close, as a port scanner does.
    void reset();
    // Reads what has arrived; false once the peer has closed.
    bool pump();
    // Bytes that have arrived and wait unread in the system's buffer.
    std::size_t unread() const;
    // Waits for the peer to close (a read of 0 bytes).
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::string& received() { return received_; }

private:
    int fd_ = -1;
    std::string received_;
    bool closed_ = false;
};

// A listening socket on 127.0.0.1 that accepts by hand.
class RawListener {
public:
    RawListener();

    int port() const { return port_; }
    // Waits for one incoming connection, processing events meanwhile.
    RawEnd accept(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    nettest::Fd listener_;
    int port_ = 0;
};
