// The chat in a terminal: lines from an input descriptor go to the peer, the
// peer's lines go to an output device, status and errors to an error device.
// The connections are its ChatLink's (link/chatlink.h).
#pragma once

#include "link/chatfront.h"
#include "session/startoptions.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <string>

class ChatLink;
class QIODevice;
class QSocketNotifier;

class TermChat : public QObject, private ChatFront {
    Q_OBJECT
public:
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
    // Exit statuses of the run.
    static constexpr int ExitDone = 0;
    static constexpr int ExitError = 1;

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
    // ChatFront, in the order of a chat. Each peer starts with a clean slate.
    void chatStarting(bool accepted) override;
    // Sending starts once the own key message has gone out.
    void keyExchangeChanged(bool done) override;
    // The peer's lines go to the output device.
    void appendIncoming(const QString& line) override;
    // The run ends, or with --keep the link listens for the next peer.
    void chatEnded() override;
    // Status lines and errors go to the error device.
    void setStatus(const QString& text) override;
    void showError(const std::exception& error) override;
    // A failed attempt ends the run; an error of the chat's connection ends the chat.
    bool connectionFailed(const ConnectionFailure& failure) override;
    // The router's forwarding, or why there is none, goes to the error device.
    void portMappingChanged(const QString& line) override;
    void portMappingFailed(const QString& line) override;

    void readInput();
    // The first line read has gone to the peer, or was refused: the next one is due.
    void takeLine();
    void pumpTick();
    void closeWhenDone();
    // An error that ends the chat with this peer: the next one with --keep, else the run.
    void peerFailed(const QString& message);
    void report(const QString& text);
    void finish(int exitCode);

    const StartOptions options_;
    const int inputFd_;
    QIODevice& out_;
    QIODevice& err_;
    ChatLink* const link_;
    QSocketNotifier* const input_;
    std::deque<QString> queue_;
    std::string partialLine_;
    QTimer pump_;
    QTimer grace_;
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
