#include "term/termchat.h"

#include <QIODevice>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

using ScktComp::TCustomWinSocket;

TermChat::TermChat(const StartOptions& options, int inputFd, QIODevice& out, QIODevice& err, QObject* parent)
    : QObject(parent), options_(options), inputFd_(inputFd), out_(out), err_(err),
      server_(new ScktComp::TServerSocket(this)), client_(new ScktComp::TClientSocket(this)),
      input_(new QSocketNotifier(static_cast<qintptr>(inputFd), QSocketNotifier::Read, this)), session_(*this, *this)
{
    input_->setEnabled(false);
    connect(input_, &QSocketNotifier::activated, this, &TermChat::readInput);

    server_->SetPort(options_.port);
    server_->SetServerType(ScktComp::stNonBlocking);
    client_->SetPort(options_.port);
    client_->SetClientType(ScktComp::ctNonBlocking);
    server_->OnAccept = [this](QObject*, TCustomWinSocket* socket) { peerArrived(socket, true); };
    server_->OnClientDisconnect = [this](QObject*, TCustomWinSocket* socket) { peerLeft(socket); };
    server_->OnClientRead = [this](QObject*, TCustomWinSocket* socket) { dataArrived(socket); };
    server_->OnClientWrite = [this](QObject*, TCustomWinSocket*) { closeWhenDone(); };
    server_->OnClientError = [this](QObject*, TCustomWinSocket* socket, ScktComp::TErrorEvent event, int& code) {
        connectionError(socket, event, code);
    };
    client_->OnConnect = [this](QObject*, TCustomWinSocket* socket) { peerArrived(socket, false); };
    client_->OnDisconnect = [this](QObject*, TCustomWinSocket* socket) { peerLeft(socket); };
    client_->OnRead = [this](QObject*, TCustomWinSocket* socket) { dataArrived(socket); };
    client_->OnWrite = [this](QObject*, TCustomWinSocket*) { closeWhenDone(); };
    client_->OnError = [this](QObject*, TCustomWinSocket* socket, ScktComp::TErrorEvent event, int& code) {
        connectionError(socket, event, code);
    };

    pump_.setInterval(LineGap);
    connect(&pump_, &QTimer::timeout, this, &TermChat::pumpTick);
    grace_.setSingleShot(true);
    grace_.setInterval(CloseGrace);
    connect(&grace_, &QTimer::timeout, this, [this] {
        if (peer_)
            peer_->Close();
    });
    sessionWakeUp_.setSingleShot(true);
    connect(&sessionWakeUp_, &QTimer::timeout, this, [this] {
        if (finished_ || !peer_)
            return;
        // Bytes not told of yet are taken first: then they have not settled.
        runReceiving([this] {
            if (const std::string more = peer_->ReadAvailableText(); !more.empty())
                session_.dataArrived(more);
            else
                session_.timePassed();
        });
    });
}

TermChat::~TermChat()
{
    // Whatever is still open closes without any handler running.
    server_->OnAccept = nullptr;
    server_->OnClientDisconnect = nullptr;
    server_->OnClientRead = nullptr;
    server_->OnClientWrite = nullptr;
    server_->OnClientError = nullptr;
    client_->OnConnect = nullptr;
    client_->OnDisconnect = nullptr;
    client_->OnRead = nullptr;
    client_->OnWrite = nullptr;
    client_->OnError = nullptr;
}

void TermChat::start()
{
    input_->setEnabled(true);
    try {
        if (options_.listen) {
            server_->SetActive(true);
            setStatus(QStringLiteral("Listening..."));
        } else {
            client_->SetHost(options_.host.toStdString());
            client_->SetActive(true);
        }
    } catch (const std::exception& error) {
        if (!options_.listen)
            report(QStringLiteral("Error connecting to : ") + options_.host);
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
    } else if (session_.awaitingKey()) {
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

QString TermChat::inputText() const
{
    return queue_.empty() ? QString() : queue_.front();
}

void TermChat::clearInput()
{
    if (!queue_.empty())
        queue_.pop_front();
    if (!inputEnded_ && !finished_ && queue_.size() < MaxQueuedLines)
        input_->setEnabled(true);
}

void TermChat::setStatus(const QString& text)
{
    if (!text.isEmpty())
        report(text);
}

bool TermChat::sendMessage(bool, std::string_view message)
{
    if (!peer_ || !peer_->Connected())
        return false;
    peer_->SendTextOnce(message);
    return peer_ && peer_->Connected();
}

std::size_t TermChat::queuedBytes(bool) const
{
    return peer_ ? peer_->PendingSendBytes() : 0;
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

void TermChat::pumpTick()
{
    if (finished_ || closing_ || !peer_ || !peer_->Connected())
        return;
    if (session_.awaitingKey()) {
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
    if (peer_->PendingSendBytes() > 0)
        return;
    try {
        session_.enterPressed();
    } catch (const std::exception& error) {
        // The line cannot go out (too long for any peer): said once, and the
        // lines behind it go on; the run ends with the error status.
        report(QString::fromUtf8(error.what()));
        lineRefused_ = true;
        clearInput();
    }
}

// Once input has ended and every line has gone out to a peer, this side ends
// its output and waits for the peer to close, so that nothing in flight is
// lost. Without a peer yet, it waits for one: the run always makes its connection.
void TermChat::closeWhenDone()
{
    if (finished_ || closing_ || !inputEnded_)
        return;
    if (!peer_ || !peer_->Connected() || !queue_.empty() || peer_->PendingSendBytes() > 0)
        return;
    closing_ = true;
    ::shutdown(peer_->SocketHandle(), SHUT_WR);
    grace_.start();
}

void TermChat::peerArrived(TCustomWinSocket* socket, bool accepted)
{
    if (finished_)
        return;
    // One peer at a time, as in the window.
    if (peer_ && peer_->Connected()) {
        socket->Close();
        return;
    }
    peer_ = socket;
    peerError_.clear();
    closing_ = false;
    keysCrossed_ = false;
    try {
        if (accepted)
            session_.connectionAccepted(QString::fromStdString(socket->PeerAddress()));
        else
            session_.connectionMade(QString::fromStdString(socket->PeerHostName()));
    } catch (const std::exception& error) {
        peerFailed(QString::fromUtf8(error.what()));
        return;
    }
    pump_.start();
    closeWhenDone();
}

void TermChat::peerLeft(TCustomWinSocket* socket)
{
    if (finished_ || !peer_ || socket != peer_)
        return;
    try {
        session_.connectionClosed();
    } catch (const std::exception& error) {
        report(QString::fromUtf8(error.what()));
    }
    peer_ = nullptr;
    pump_.stop();
    grace_.stop();
    sessionWakeUp_.stop();
    const bool closedHere = std::exchange(closing_, false);
    if (!closedHere && peerError_.isEmpty())
        report(QStringLiteral("The peer closed the connection"));
    if (options_.keep && !(inputEnded_ && queue_.empty())) {
        setStatus(QStringLiteral("Listening..."));
        return;
    }
    // Input that never reached the peer is a failure, not a clean end.
    const bool linesLost = !queue_.empty();
    if (linesLost)
        report(QStringLiteral("%1 line(s) were not sent").arg(queue_.size()));
    finish(peerError_.isEmpty() && !linesLost && !lineRefused_ ? ExitDone : ExitError);
}

void TermChat::dataArrived(TCustomWinSocket* socket)
{
    if (finished_ || socket != peer_) {
        (void)socket->ReadAvailableText();
        return;
    }
    runReceiving([this, socket] { session_.dataArrived(socket->ReadAvailableText()); });
}

void TermChat::runReceiving(const std::function<void()>& step)
{
    try {
        step();
    } catch (const ESessionError& error) {
        handleError(error);
    } catch (const std::exception& error) {
        peerFailed(QString::fromUtf8(error.what()));
    }
}

void TermChat::wakeSessionIn(std::optional<std::chrono::milliseconds> delay)
{
    if (delay)
        sessionWakeUp_.start(*delay);
    else
        sessionWakeUp_.stop();
}

void TermChat::connectionError(TCustomWinSocket* socket, ScktComp::TErrorEvent event, int& code)
{
    const QString reason = QString::fromLocal8Bit(std::strerror(code));
    // Reported here; the connection layer raises nothing more.
    code = 0;
    if (finished_)
        return;
    if (event == ScktComp::eeConnect) {
        report(QStringLiteral("Error connecting to : ") + options_.host + QStringLiteral(" (") + reason
               + QStringLiteral(")"));
        finish(ExitError);
        return;
    }
    if (socket == peer_)
        peerFailed(QStringLiteral("Connection error: ") + reason);
}

void TermChat::peerFailed(const QString& message)
{
    report(message);
    peerError_ = message;
    if (peer_ && peer_->Connected())
        peer_->Close();
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
    sessionWakeUp_.stop();
    // Handlers see finished_ and do nothing while the sockets close.
    server_->SetActive(false);
    client_->SetActive(false);
    emit finished(exitCode);
}
