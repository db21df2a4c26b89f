#include "main.h"

#include "aboutbox.h"
#include "chatlook.h"
#include "dialogs.h"
#include "session/chatsession.h"

#include <QAction>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

using ScktComp::TCustomWinSocket;

TChatForm::TChatForm(Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs)
{
    initChatResources();
    setObjectName(QStringLiteral("ChatForm"));
    setWindowTitle(applicationTitle());
    setWindowIcon(chatIcon(QStringLiteral("velmora")));
    setFont(chatFont());

    buildMenu();
    buildClientArea();
    describeControls();
    showKeysCrossed(false);

    ServerSocket = new ScktComp::TServerSocket(this);
    ServerSocket->setObjectName(QStringLiteral("ServerSocket"));
    ServerSocket->SetPort(DefaultPort);
    ServerSocket->SetServerType(ScktComp::stNonBlocking);
    ClientSocket = new ScktComp::TClientSocket(this);
    ClientSocket->setObjectName(QStringLiteral("ClientSocket"));
    ClientSocket->SetPort(DefaultPort);
    ClientSocket->SetClientType(ScktComp::ctNonBlocking);

    session_ = std::make_unique<ChatSession>(*this, *this);
    sessionWakeUp_ = new QTimer(this);
    sessionWakeUp_->setSingleShot(true);
    connect(sessionWakeUp_, &QTimer::timeout, this, [this] {
        runGuarded([this] {
            // Bytes that came while the window was busy may not have been
            // told of yet: they are taken first, and the bytes have not settled.
            TCustomWinSocket* const peer = connectionOf(session_->serverRole(), false);
            if (peer && peer->Connected()) {
                if (const std::string more = peer->ReadAvailableText(); !more.empty()) {
                    session_->dataArrived(more);
                    return;
                }
            }
            session_->timePassed();
        });
    });
    wireSockets();

    aboutBox_ = new AboutBox(this);
    aboutBox_->hide();

    setFixedWidth(FormWidth);
    setMinimumHeight(0);
    setMaximumHeight(FormHeight);
    resize(FormWidth, FormHeight);
    move(209, 110);
    // Typing starts in the input line.
    Edit1->setFocus();
}

TChatForm::~TChatForm()
{
    // Whatever is still open closes without any handler running.
    ServerSocket->OnAccept = nullptr;
    ServerSocket->OnClientConnect = nullptr;
    ServerSocket->OnClientDisconnect = nullptr;
    ServerSocket->OnClientRead = nullptr;
    ServerSocket->OnClientError = nullptr;
    ClientSocket->OnConnect = nullptr;
    ClientSocket->OnDisconnect = nullptr;
    ClientSocket->OnRead = nullptr;
    ClientSocket->OnError = nullptr;
}

void TChatForm::connectionEnded(bool serverRole)
{
    if (session_->serverRole() == serverRole)
        showKeysCrossed(false);
}

void TChatForm::wireSockets()
{
    using namespace std::placeholders;
    ServerSocket->OnAccept = std::bind(&TChatForm::ServerSocketAccept, this, _1, _2);
    ServerSocket->OnClientConnect = std::bind(&TChatForm::ServerSocketClientConnect, this, _1, _2);
    ServerSocket->OnClientDisconnect = std::bind(&TChatForm::ServerSocketClientDisconnect, this, _1, _2);
    ServerSocket->OnClientRead = std::bind(&TChatForm::ServerSocketClientRead, this, _1, _2);
    ServerSocket->OnClientError = std::bind(&TChatForm::ServerSocketClientError, this, _1, _2, _3, _4);
    ClientSocket->OnConnect = std::bind(&TChatForm::ClientSocketConnect, this, _1, _2);
    ClientSocket->OnDisconnect = std::bind(&TChatForm::ClientSocketDisconnect, this, _1, _2);
    ClientSocket->OnRead = std::bind(&TChatForm::ClientSocketRead, this, _1, _2);
    ClientSocket->OnError = std::bind(&TChatForm::ClientSocketError, this, _1, _2, _3, _4);
}

bool TChatForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == clientArea_ && event->type() == QEvent::Resize) {
        alignClientArea();
    } else if (watched == Edit1 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        runGuarded([this, key] { Edit1KeyDown(key); });
    }
    // The input line keeps its normal editing.
    return QMainWindow::eventFilter(watched, event);
}

void TChatForm::runGuarded(const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::exception& error) {
        ShowError(error);
    } catch (...) {
        ShowError(std::runtime_error("Unknown error"));
    }
}

void TChatForm::ShowError(const std::exception& error)
{
    // The error may have ended listening; say so before the box waits for OK.
    followSockets();
    const QString text = errorBoxText(QString::fromUtf8(error.what()));
    // The box runs its own event loop, in which every further socket error
    // would open another box on top of it.
    if (errorBoxOpen_) {
        appendIncoming(text);
        return;
    }
    const QScopedValueRollback<bool> open(errorBoxOpen_, true);
    dialogs_.showError(this, text);
}

void TChatForm::followSockets()
{
    if (!ServerSocket->Active() && !ClientSocket->Active())
        setStatus(QString());
}

void TChatForm::appendSent(const QString& line)
{
    Memo1->appendPlainText(line);
}

void TChatForm::appendIncoming(const QString& line)
{
    Memo2->appendPlainText(line);
    // Someone working in another window is told, not interrupted.
    if (!isActiveWindow())
        dialogs_.alert(this);
}

QString TChatForm::inputText() const
{
    return Edit1->text();
}

void TChatForm::clearInput()
{
    // clear() is undoable and records every character removed; setText()
    // drops the undo history, so a long chat of pasted lines does not pile up
    // in the input line.
    Edit1->setText(QString());
}

void TChatForm::setStatus(const QString& text)
{
    statusField_->setText(text);
}

void TChatForm::keyExchangeChanged(bool done)
{
    showKeysCrossed(done);
    // The accepted peer has shown it speaks the chat: its errors now matter.
    if (done && session_->serverRole() && ServerSocket->Socket()->ActiveConnections() > 0)
        keyedPeer_ = ServerSocket->Socket()->ConnectionAt(0);
}

void TChatForm::wakeSessionIn(std::optional<std::chrono::milliseconds> delay)
{
    if (delay)
        sessionWakeUp_->start(*delay);
    else
        sessionWakeUp_->stop();
}

QString TChatForm::status() const
{
    return statusField_->text();
}

TCustomWinSocket* TChatForm::connectionOf(bool serverRole, bool raise) const
{
    if (serverRole) {
        if (!raise && ServerSocket->Socket()->ActiveConnections() == 0)
            return nullptr;
        return ServerSocket->Socket()->ConnectionAt(0);
    }
    return ClientSocket->Socket();
}

bool TChatForm::sendMessage(bool serverRole, std::string_view message)
{
    TCustomWinSocket* const connection = connectionOf(serverRole);
    if (!serverRole && !connection->Connected())
        return false;
    // A failed send closes the connection, and the listening socket may
    // release an accepted one on the spot.
    const QPointer<TCustomWinSocket> sentOn(connection);
    connection->SendTextOnce(message);
    return sentOn && sentOn->Connected();
}

std::size_t TChatForm::queuedBytes(bool serverRole) const
{
    return connectionOf(serverRole)->PendingSendBytes();
}

void TChatForm::FileListenItemClick()
{
    FileListenItem->setChecked(!FileListenItem->isChecked());
    if (FileListenItem->isChecked()) {
        ClientSocket->SetActive(false);
        ServerSocket->SetActive(true);
        setStatus(QStringLiteral("Listening..."));
    } else {
        stopListening();
    }
}

void TChatForm::stopListening()
{
    if (ServerSocket->Active()) {
        ServerSocket->SetActive(false);
        connectionEnded(true);
    }
    FileListenItem->setChecked(false);
    setStatus(QString());
}

void TChatForm::FileConnectItemClick()
{
    if (ClientSocket->Active())
        ClientSocket->SetActive(false);
    // Both peers would share one set of session keys: the inbound chat ends
    // first, every accepted connection closed without events.
    if (hasInboundPeer())
        stopListening();
    const std::optional<QString> address = dialogs_.promptText(this, QStringLiteral("Computer to connect to"),
                                                               QStringLiteral("Address Name:"), lastAddress_);
    if (!address)
        return;
    ConnectTo(*address);
}

void TChatForm::ConnectTo(const QString& address)
{
    lastAddress_ = address;
    if (lastAddress_.isEmpty())
        return;
    ClientSocket->SetHost(lastAddress_.toStdString());
    ClientSocket->SetActive(true);
}

bool TChatForm::hasInboundPeer(const TCustomWinSocket* except) const
{
    const ScktComp::TServerWinSocket* listener = ServerSocket->Socket();
    for (int i = 0; i < listener->ActiveConnections(); ++i) {
        const TCustomWinSocket* connection = listener->ConnectionAt(i);
        if (connection != except && connection->Connected())
            return true;
    }
    return false;
}

void TChatForm::Disconnect1Click()
{
    ClientSocket->SetActive(false);
    FileListenItemClick();
}

void TChatForm::Exit1Click()
{
    ServerSocket->SetActive(false);
    ClientSocket->SetActive(false);
    close();
}

void TChatForm::About1Click()
{
    dialogs_.showAbout(*aboutBox_);
}

void TChatForm::FormResize()
{
    Edit1->resize(Memo1->width(), Edit1->height());
}

bool TChatForm::isRefused(const TCustomWinSocket* connection) const
{
    return std::any_of(refused_.begin(), refused_.end(),
                       [connection](const QPointer<TCustomWinSocket>& refused) { return refused == connection; });
}

void TChatForm::ServerSocketAccept(QObject*, TCustomWinSocket* Socket)
{
    if (isRefused(Socket))
        return;
    session_->connectionAccepted(QString::fromStdString(Socket->PeerAddress()));
}

// One peer at a time: a further incoming connection is closed on arrival,
// leaving keys, panes and status to the peer already connected, in or out.
void TChatForm::ServerSocketClientConnect(QObject*, TCustomWinSocket* Socket)
{
    if (ClientSocket->Active() || hasInboundPeer(Socket)) {
        refused_.erase(std::remove(refused_.begin(), refused_.end(), nullptr), refused_.end());
        refused_.emplace_back(Socket);
        Socket->Close();
        return;
    }
    Memo2->clear();
}

void TChatForm::ServerSocketClientDisconnect(QObject*, TCustomWinSocket* Socket)
{
    if (isRefused(Socket))
        return;
    runGuarded([this] { session_->connectionClosed(); });
    connectionEnded(true);
    ServerSocket->SetActive(false);
    FileListenItem->setChecked(!FileListenItem->isChecked());
    FileListenItemClick();
}

void TChatForm::ServerSocketClientRead(QObject*, TCustomWinSocket* Socket)
{
    if (isRefused(Socket))
        return;
    session_->dataArrived(Socket->ReadAvailableText());
}

void TChatForm::ServerSocketClientError(QObject*, TCustomWinSocket* Socket, ScktComp::TErrorEvent ErrorEvent,
                                        int& ErrorCode)
{
    appendIncoming(QStringLiteral("***** Windows Sockets Error #") + QString::number(ErrorCode));
    // A peer that resets the connection (for instance by closing it without
    // reading our key message) is gone as surely as one that closes it. Left
    // open, the dead connection would keep every later peer out; end it like
    // an orderly close, so the window listens again.
    if (ErrorEvent == ScktComp::eeDisconnect && Socket->Connected())
        Socket->Close();
    // A connection that never got as far as the peer's key (a port scanner
    // connecting and resetting, say) is not worth an error box: the pane line
    // says enough.
    if (Socket != ServerSocket->Socket() && Socket != keyedPeer_)
        ErrorCode = 0;
    followSockets();
}

void TChatForm::ClientSocketConnect(QObject*, TCustomWinSocket* Socket)
{
    session_->connectionMade(QString::fromStdString(Socket->PeerHostName()));
}

void TChatForm::ClientSocketDisconnect(QObject*, TCustomWinSocket*)
{
    runGuarded([this] { session_->connectionClosed(); });
    connectionEnded(false);
    FileListenItemClick();
}

void TChatForm::ClientSocketRead(QObject*, TCustomWinSocket* Socket)
{
    session_->dataArrived(Socket->ReadAvailableText());
}

void TChatForm::ClientSocketError(QObject*, TCustomWinSocket*, ScktComp::TErrorEvent, int& ErrorCode)
{
    appendIncoming(QStringLiteral("Error connecting to : ") + lastAddress_);
    ErrorCode = 0;
}

void TChatForm::Edit1KeyDown(int key)
{
    // Enter arrives as Qt's Return or keypad Enter key, or as its virtual-key code 13.
    constexpr int VirtualKeyReturn = 13;
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == VirtualKeyReturn)
        session_->enterPressed();
}
