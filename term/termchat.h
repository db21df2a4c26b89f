// The chat in a terminal: lines from an input descriptor go to the peer, the
// peer's lines go to an output device, status and errors to an error device.
#pragma once

#include "net/ScktComp.h"
#include "session/chatoutlet.h"
#include "session/chatsession.h"
#include "session/chatview.h"
#include "session/startoptions.h"

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

#include <chrono>
#include <deque>
#include <string>

class QIODevice;

class TermChat : public QObject, private ChatView, private ChatOutlet {
    Q_OBJECT
public:
    static constexpr int ExitDone = 0;
    static constexpr int ExitError = 1;
    // Line messages go out one per tick of this period, the first one tick
    // after the keys have crossed. A peer that takes every read as one message
    // (as the wire format says) would see two lines sent back to back, or the
    // key message and a line, as one garbled chunk; the pause lets it read
    // each on its own.
    static constexpr std::chrono::milliseconds LineGap{50};
    // Reading input pauses while this many lines wait to be sent.
    static constexpr std::size_t MaxQueuedLines = 1000;
    // How long the peer may take to close after this side has ended its output.
    static constexpr std::chrono::seconds CloseGrace{5};

    // Reads lines from `inputFd` (not taken over), writes the peer's lines to
    // `out` and status and errors to `err`.
    TermChat(const StartOptions& options, int inputFd, QIODevice& out, QIODevice& err, QObject* parent = nullptr);
    ~TermChat() override;

    // Starts listening or connecting; a failure ends the run at once.
    void start();
    // An error that escaped the processing of an event: a refused line is
    // reported and the chat goes on; a refused key message ends the chat with
    // this peer; anything else ends the run.
    void handleError(const std::exception& error);

    bool isFinished() const { return finished_; }
    int exitCode() const { return exitCode_; }
    // Lines read and not yet sent.
    std::size_t queuedLines() const { return queue_.size(); }

signals:
    void finished(int exitCode);

private:
    // ChatView: the session's lines and status.
    void appendSent(const QString&) override {}
    void appendIncoming(const QString& line) override;
    QString inputText() const override;
    void clearInput() override;
    void setStatus(const QString& text) override;
    void wakeSessionIn(std::optional<std::chrono::milliseconds> delay) override;
    // ChatOutlet: the one peer, in either role.
    bool sendMessage(bool serverRole, std::string_view message) override;
    std::size_t queuedBytes(bool serverRole) const override;

    void readInput();
    void pumpTick();
    void closeWhenDone();
    void peerArrived(ScktComp::TCustomWinSocket* socket, bool accepted);
    void peerLeft(ScktComp::TCustomWinSocket* socket);
    void dataArrived(ScktComp::TCustomWinSocket* socket);
    // Runs one step of the session on received data; a refused message is
    // reported, any other error ends the chat with this peer.
    void runReceiving(const std::function<void()>& step);
    void connectionError(ScktComp::TCustomWinSocket* socket, ScktComp::TErrorEvent event, int& code);
    // An error that ends the chat with this peer: the next one with --keep, else the run.
    void peerFailed(const QString& message);
    void report(const QString& text);
    void finish(int exitCode);

    const StartOptions options_;
    const int inputFd_;
    QIODevice& out_;
    QIODevice& err_;
    ScktComp::TServerSocket* server_;
    ScktComp::TClientSocket* client_;
    QSocketNotifier* input_;
    ChatSession session_;
    QPointer<ScktComp::TCustomWinSocket> peer_;
    std::deque<QString> queue_;
    std::string partialLine_;
    QTimer pump_;
    QTimer grace_;
    QTimer sessionWakeUp_;
    // The pump has seen the keys crossed with the current peer.
    bool keysCrossed_ = false;
    bool inputEnded_ = false;
    bool closing_ = false;
    bool finished_ = false;
    // A line the session refused (too long for any peer) was dropped.
    bool lineRefused_ = false;
    int exitCode_ = ExitDone;
    // The error that ended the chat with the current peer, reported when it is gone.
    QString peerError_;
};
