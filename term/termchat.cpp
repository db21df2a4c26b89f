#include "term/termchat.h"

#include "link/chatlink.h"
#include "session/peerkey.h"

#include <QIODevice>
#include <QSocketNotifier>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

TermChat::TermChat(const StartOptions& options, int inputFd, QIODevice& out, QIODevice& err, QObject* parent)
    : QObject(parent), options_(options), inputFd_(inputFd), out_(out), err_(err),
      // With --keep the program listens for the next peer as the window does;
      // otherwise the end of the chat ends the run.
      link_(new ChatLink(*this, options.keep ? ChatLink::AfterChat::ListenAgain : ChatLink::AfterChat::Stay, this)),
      input_(new QSocketNotifier(static_cast<qintptr>(inputFd), QSocketNotifier::Read, this))
{
    input_->setEnabled(false);
    connect(input_, &QSocketNotifier::activated, this, &TermChat::readInput);
    link_->setPort(options_.port);
    link_->setPortMapping(options_.portMapping);

    pump_.setInterval(LineGap);
    connect(&pump_, &QTimer::timeout, this, &TermChat::pumpTick);
    grace_.setSingleShot(true);
    grace_.setInterval(CloseGrace);
    connect(&grace_, &QTimer::timeout, link_, &ChatLink::dropPeer);
}

TermChat::~TermChat() = default;

void TermChat::start()
{
    input_->setEnabled(true);
    try {
        link_->start(options_);
    } catch (const std::exception& error) {
        if (!options_.listen)
            report(link_->attemptFailedText());
        report(QString::fromUtf8(error.what()));
        finish(ExitError);
    }
}

void TermChat::handleError(const std::exception& error)
{
    const QString message = QString::fromUtf8(error.what());
    if (dynamic_cast<const ESessionError*>(&error) == nullptr) {
        report(message);
        finish(ExitError);
    } else if (link_->session().awaitingKey()) {
        // Without the peer's key the chat cannot go on.
        peerFailed(message);
    } else {
        report(message);
    }
}

void TermChat::appendIncoming(const QString& line)
{
    out_.write(line.toUtf8() + '\n');
}

void TermChat::setStatus(const QString& text)
{
    if (!text.isEmpty())
        report(text);
}

void TermChat::showError(const std::exception& error)
{
    handleError(error);
}

bool TermChat::connectionFailed(const ConnectionFailure& failure)
{
    // Reported here, whatever the state; the connection layer raises nothing more.
    if (finished_)
        return true;
    if (failure.kind == ConnectionFailure::Kind::Attempt) {
        report(failure.notice + QStringLiteral(" (") + failure.reason + QStringLiteral(")"));
        finish(ExitError);
    } else if (failure.ofTheChat) {
        peerFailed(QStringLiteral("Connection error: ") + failure.reason);
    }
    return true;
}

void TermChat::portMappingChanged(const QString& line)
{
    if (!line.isEmpty() && !finished_)
        report(line);
}

void TermChat::portMappingFailed(const QString& line)
{
    if (!finished_)
        report(line);
}

void TermChat::chatStarting(bool)
{
    peerError_.clear();
    closing_ = false;
    keysCrossed_ = false;
}

void TermChat::keyExchangeChanged(bool done)
{
    // The own key message has gone out: lines may follow once the peer's key is in.
    if (done || finished_)
        return;
    pump_.start();
    closeWhenDone();
}

void TermChat::chatEnded()
{
    if (finished_)
        return;
    pump_.stop();
    grace_.stop();
    const bool closedHere = std::exchange(closing_, false);
    if (!closedHere && peerError_.isEmpty())
        report(QStringLiteral("The peer closed the connection"));
    // With --keep the link listens again and says so; the lines read meanwhile
    // go to the next peer.
    if (options_.keep && !(inputEnded_ && queue_.empty()))
        return;
    // Input that never reached the peer is a failure, not a clean end.
    const bool linesLost = !queue_.empty();
    if (linesLost)
        report(QStringLiteral("%1 line(s) were not sent").arg(queue_.size()));
    finish(peerError_.isEmpty() && !linesLost && !lineRefused_ ? ExitDone : ExitError);
}

// One read per notification never blocks, on a pipe as on a terminal; the
// descriptor stays blocking, as the shell that shares it expects.
void TermChat::readInput()
{
    char buffer[4096];
    const ssize_t count = ::read(inputFd_, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count < 0)
        report(QStringLiteral("Cannot read standard input: ") + QString::fromLocal8Bit(std::strerror(errno)));
    if (count > 0) {
        partialLine_.append(buffer, static_cast<std::size_t>(count));
        std::size_t end;
        while ((end = partialLine_.find('\n')) != std::string::npos) {
            queue_.push_back(QString::fromUtf8(partialLine_.data(), static_cast<qsizetype>(end)));
            partialLine_.erase(0, end + 1);
        }
        if (queue_.size() >= MaxQueuedLines)
            input_->setEnabled(false);
    } else {
        // The end of input; a last line without its line feed still counts.
        if (!partialLine_.empty())
            queue_.push_back(QString::fromUtf8(partialLine_.data(), static_cast<qsizetype>(partialLine_.size())));
        partialLine_.clear();
        inputEnded_ = true;
        input_->setEnabled(false);
        closeWhenDone();
    }
}

void TermChat::takeLine()
{
    if (!queue_.empty())
        queue_.pop_front();
    if (!inputEnded_ && !finished_ && queue_.size() < MaxQueuedLines)
        input_->setEnabled(true);
}

void TermChat::pumpTick()
{
    if (finished_ || closing_ || !link_->peerConnected())
        return;
    if (link_->session().awaitingKey()) {
        keysCrossed_ = false;
        return;
    }
    if (!keysCrossed_) {
        keysCrossed_ = true;
        return;
    }
    if (queue_.empty()) {
        closeWhenDone();
        return;
    }
    // A peer slow to read gets the next line once the last has gone out, so
    // the session's limit on unread bytes is never what stops a piped line.
    if (link_->pendingBytes() > 0)
        return;
    try {
        if (link_->sendLine(queue_.front()))
            takeLine();
    } catch (const std::exception& error) {
        // The line cannot go out (too long for any peer): said once, and the
        // lines behind it go on; the run ends with the error status.
        report(QString::fromUtf8(error.what()));
        lineRefused_ = true;
        takeLine();
    }
}

// Once input has ended and every line has gone out to a peer, this side ends
// its output and waits for the peer to close, so that nothing in flight is
// lost. Without a peer yet, it waits for one: the run always makes its
// connection. The pump comes back here every tick until the last bytes have gone.
void TermChat::closeWhenDone()
{
    if (finished_ || closing_ || !inputEnded_)
        return;
    if (!link_->peerConnected() || !queue_.empty() || link_->pendingBytes() > 0)
        return;
    closing_ = true;
    link_->endOutput();
    grace_.start();
}

void TermChat::peerFailed(const QString& message)
{
    report(message);
    peerError_ = message;
    if (link_->peerConnected())
        link_->dropPeer();
    else if (!options_.keep)
        finish(ExitError);
}

void TermChat::report(const QString& text)
{
    err_.write((text + QLatin1Char('\n')).toUtf8());
}

void TermChat::finish(int exitCode)
{
    if (finished_)
        return;
    finished_ = true;
    exitCode_ = exitCode;
    input_->setEnabled(false);
    pump_.stop();
    grace_.stop();
    // Nothing of the connections reaches this object once it has finished.
    link_->shutDown();
    emit finished(exitCode);
}
