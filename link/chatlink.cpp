#include "link/chatlink.h"

#include "net/ScktComp.h"
#include "portmap/portmapper.h"
#include "session/startoptions.h"

#include <QScopedValueRollback>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

using ScktComp::TCustomWinSocket;

namespace {

ChatLink::PortMapperFactory& portMapperFactory()
{
    static ChatLink::PortMapperFactory factory;
    return factory;
}

QString systemReason(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

ChatLink::ChatLink(ChatFront& front, AfterChat afterChat, QObject* parent)
    : QObject(parent), front_(front), afterChat_(afterChat), server_(new ScktComp::TServerSocket(this)),
      client_(new ScktComp::TClientSocket(this)), sessionWakeUp_(new QTimer(this)), session_(*this, *this)
{
    // The names the window's components have always had; tests find them by these.
    server_->setObjectName(QStringLiteral("ServerSocket"));
    server_->SetServerType(ScktComp::stNonBlocking);
    client_->setObjectName(QStringLiteral("ClientSocket"));
    client_->SetClientType(ScktComp::ctNonBlocking);
    setPort(StartOptions::DefaultPort);

    sessionWakeUp_->setSingleShot(true);
    connect(sessionWakeUp_, &QTimer::timeout, this, [this] { runCaught([this] { wakeSession(); }); });
    wireSockets();
}

ChatLink::~ChatLink()
{
    // Whatever is still open closes without any handler running.
    silenceSockets();
}

void ChatLink::setPortMapperFactory(PortMapperFactory factory)
{
    portMapperFactory() = std::move(factory);
}

void ChatLink::wireSockets()
{
    using namespace std::placeholders;
    server_->OnAccept = std::bind(&ChatLink::ServerSocketAccept, this, _1, _2);
    server_->OnClientConnect = std::bind(&ChatLink::ServerSocketClientConnect, this, _1, _2);
    server_->OnClientDisconnect = std::bind(&ChatLink::ServerSocketClientDisconnect, this, _1, _2);
    server_->OnClientRead = std::bind(&ChatLink::ServerSocketClientRead, this, _1, _2);
    server_->OnClientError = std::bind(&ChatLink::ServerSocketClientError, this, _1, _2, _3, _4);
    client_->OnConnect = std::bind(&ChatLink::ClientSocketConnect, this, _1, _2);
    client_->OnDisconnect = std::bind(&ChatLink::ClientSocketDisconnect, this, _1, _2);
    client_->OnRead = std::bind(&ChatLink::ClientSocketRead, this, _1, _2);
    client_->OnError = std::bind(&ChatLink::ClientSocketError, this, _1, _2, _3, _4);
}

void ChatLink::silenceSockets()
{
    server_->OnAccept = nullptr;
    server_->OnClientConnect = nullptr;
    server_->OnClientDisconnect = nullptr;
    server_->OnClientRead = nullptr;
    server_->OnClientError = nullptr;
    client_->OnConnect = nullptr;
    client_->OnDisconnect = nullptr;
    client_->OnRead = nullptr;
    client_->OnError = nullptr;
}

void ChatLink::setPort(int port)
{
    server_->SetPort(port);
    client_->SetPort(port);
}

void ChatLink::start(const StartOptions& options)
{
    if (options.listen)
        toggleListen();
    else if (!options.host.isEmpty())
        connectTo(options.host);
}

// --- Commands ---------------------------------------------------------------

void ChatLink::setListenMark(bool on)
{
    listenMark_ = on;
    front_.listenMarkChanged(on);
}

void ChatLink::startListening()
{
    try {
        server_->SetActive(true);
    } catch (...) {
        // A socket opened afresh that fails ends the forwarding it kept.
        stopPortMapping();
        throw;
    }
    startPortMapping();
}

void ChatLink::stopListeningSocket(Forwarding forwarding)
{
    server_->SetActive(false);
    if (forwarding == Forwarding::Ends)
        stopPortMapping();
}

// --- The router's forwarding ------------------------------------------------

void ChatLink::setPortMapping(bool on)
{
    if (on == portMapping_)
        return;
    portMapping_ = on;
    if (!on) {
        stopPortMapping();
        return;
    }
    // Turned on again by the user: a failure is news again.
    lastMappingFailure_.clear();
    if (server_->Active())
        startPortMapping();
}

void ChatLink::startPortMapping()
{
    if (!portMapping_ || mappingAsked_ || shutDown_)
        return;
    if (!mapper_) {
        const PortMapperFactory& make = portMapperFactory();
        mapper_ = make ? make(this) : nullptr;
        if (!mapper_)
            return;
        connect(mapper_, &PortMapper::mapped, this, &ChatLink::portMapped);
        connect(mapper_, &PortMapper::failed, this, &ChatLink::portMappingFailed);
    }
    mappingAsked_ = true;
    mapper_->start(static_cast<quint16>(server_->Port()));
}

void ChatLink::stopPortMapping()
{
    if (std::exchange(mappingAsked_, false) && mapper_)
        mapper_->stop();
    if (std::exchange(mappingShown_, false) && !shutDown_)
        front_.portMappingChanged(QString());
}

void ChatLink::portMapped(const QString& externalAddress, quint16 externalPort, const QString& protocol)
{
    if (shutDown_ || !mappingAsked_)
        return;
    // An IPv6 address takes brackets before its port, as the Connect command reads it.
    const QString host = externalAddress.contains(u':') ? u'[' + externalAddress + u']' : externalAddress;
    mappingShown_ = true;
    lastMappingFailure_.clear();
    front_.portMappingChanged(QStringLiteral("Port mapped: peers on the internet connect to %1:%2 (%3)")
                                  .arg(host)
                                  .arg(externalPort)
                                  .arg(protocol));
}

void ChatLink::portMappingFailed(const QString& reason)
{
    if (shutDown_ || !mappingAsked_)
        return;
    if (std::exchange(mappingShown_, false))
        front_.portMappingChanged(QString());
    const QString line = QStringLiteral("No port mapping: ") + reason;
    if (line == lastMappingFailure_)
        return;
    lastMappingFailure_ = line;
    front_.portMappingFailed(line);
}

void ChatLink::toggleListen()
{
    if (shutDown_)
        return;
    setListenMark(!listenMark_);
    if (listenMark_) {
        client_->SetActive(false);
        if (shutDown_)
            return;
        startListening();
        front_.setStatus(QStringLiteral("Listening..."));
    } else {
        stopListening();
    }
}

void ChatLink::stopListening()
{
    if (server_->Active()) {
        // The accepted connections go without events: a chat on one of them ends here.
        const bool chatEnds = chat_ && chat_ != client_->Socket();
        if (chatEnds)
            chat_ = nullptr;
        stopListeningSocket();
        if (chatEnds)
            reportChatEnded();
    }
    stopPortMapping();
    setListenMark(false);
    front_.setStatus(QString());
}

void ChatLink::hangUp()
{
    client_->SetActive(false);
    if (!shutDown_)
        toggleListen();
}

void ChatLink::endChatBeforeConnecting()
{
    if (client_->Active())
        client_->SetActive(false);
    if (!shutDown_ && hasInboundPeer())
        stopListening();
}

void ChatLink::connectTo(const QString& address)
{
    lastAddress_ = address;
    if (shutDown_ || lastAddress_.isEmpty())
        return;
    client_->SetHost(lastAddress_.toStdString());
    client_->SetActive(true);
}

void ChatLink::shutDown()
{
    shutDown_ = true;
    sessionWakeUp_->stop();
    silenceSockets();
    stopListeningSocket();
    client_->SetActive(false);
}

QString ChatLink::attemptFailedText() const
{
    return QStringLiteral("Error connecting to : ") + lastAddress_;
}

void ChatLink::refreshStatus()
{
    if (!server_->Active() && !client_->Active())
        front_.setStatus(QString());
}

// --- The chat's connection --------------------------------------------------

bool ChatLink::sendLine(const QString& line)
{
    // The session reads the line through inputText() and reports it taken
    // through clearInput(); the front end shows it once this returns true.
    const QScopedValueRollback<QString> typed(typedLine_, line);
    lineTaken_ = false;
    session_.enterPressed();
    return lineTaken_;
}

bool ChatLink::peerConnected() const
{
    return chat_ && chat_->Connected();
}

std::size_t ChatLink::pendingBytes() const
{
    return chat_ ? chat_->PendingSendBytes() : 0;
}

void ChatLink::endOutput()
{
    if (peerConnected())
        ::shutdown(chat_->SocketHandle(), SHUT_WR);
}

void ChatLink::dropPeer()
{
    if (peerConnected())
        chat_->Close();
}

TCustomWinSocket* ChatLink::connectionOf(bool serverRole, bool raise) const
{
    if (serverRole) {
        if (!raise && server_->Socket()->ActiveConnections() == 0)
            return nullptr;
        return server_->Socket()->ConnectionAt(0);
    }
    return client_->Socket();
}

bool ChatLink::sendMessage(bool serverRole, std::string_view message)
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

std::size_t ChatLink::queuedBytes(bool serverRole) const
{
    return connectionOf(serverRole)->PendingSendBytes();
}

// --- What the session shows -------------------------------------------------

void ChatLink::appendSent(const QString&)
{
    // The front end shows the line itself once sendLine() returns true.
}

void ChatLink::appendIncoming(const QString& line)
{
    front_.appendIncoming(line);
}

QString ChatLink::inputText() const
{
    return typedLine_;
}

void ChatLink::clearInput()
{
    lineTaken_ = true;
}

void ChatLink::setStatus(const QString& text)
{
    front_.setStatus(text);
}

void ChatLink::keyExchangeChanged(bool done)
{
    // The accepted peer has shown it speaks the chat: its errors now matter.
    if (done && session_.serverRole() && server_->Socket()->ActiveConnections() > 0)
        keyedPeer_ = server_->Socket()->ConnectionAt(0);
    front_.keyExchangeChanged(done);
}

void ChatLink::wakeSessionIn(std::optional<std::chrono::milliseconds> delay)
{
    if (delay)
        sessionWakeUp_->start(*delay);
    else
        sessionWakeUp_->stop();
}

void ChatLink::wakeSession()
{
    // Bytes that came while the program was busy may not have been told of
    // yet: they are taken first, and the bytes have not settled.
    TCustomWinSocket* const peer = connectionOf(session_.serverRole(), false);
    if (peer && peer->Connected()) {
        if (const std::string more = peer->ReadAvailableText(); !more.empty()) {
            session_.dataArrived(more);
            return;
        }
    }
    session_.timePassed();
}

void ChatLink::runCaught(const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::exception& error) {
        front_.showError(error);
    } catch (...) {
        front_.showError(std::runtime_error("Unknown error"));
    }
}

bool ChatLink::endConnection(const TCustomWinSocket* ended)
{
    const bool chatEnds = releaseChat(ended);
    runCaught([this] { session_.connectionClosed(); });
    if (chatEnds)
        reportChatEnded();
    return !shutDown_ && afterChat_ == AfterChat::ListenAgain;
}

bool ChatLink::releaseChat(const TCustomWinSocket* ended)
{
    if (!ended || ended != chat_)
        return false;
    chat_ = nullptr;
    return true;
}

void ChatLink::reportChatEnded()
{
    if (!shutDown_)
        front_.chatEnded();
}

// --- Socket events ----------------------------------------------------------

bool ChatLink::isRefused(const TCustomWinSocket* connection) const
{
    return std::any_of(refused_.begin(), refused_.end(),
                       [connection](const QPointer<TCustomWinSocket>& refused) { return refused == connection; });
}

bool ChatLink::hasInboundPeer(const TCustomWinSocket* except) const
{
    const ScktComp::TServerWinSocket* listener = server_->Socket();
    for (int i = 0; i < listener->ActiveConnections(); ++i) {
        const TCustomWinSocket* connection = listener->ConnectionAt(i);
        if (connection != except && connection->Connected())
            return true;
    }
    return false;
}

void ChatLink::ServerSocketAccept(QObject*, TCustomWinSocket* Socket)
{
    if (isRefused(Socket))
        return;
    chat_ = Socket;
    front_.chatStarting(true);
    session_.connectionAccepted(QString::fromStdString(Socket->PeerAddress()));
}

// One peer at a time: a further incoming connection is closed on arrival,
// leaving keys, panes and status to the peer already connected, in or out.
void ChatLink::ServerSocketClientConnect(QObject*, TCustomWinSocket* Socket)
{
    if (client_->Active() || hasInboundPeer(Socket)) {
        refused_.erase(std::remove(refused_.begin(), refused_.end(), nullptr), refused_.end());
        refused_.emplace_back(Socket);
        Socket->Close();
    }
}

void ChatLink::ServerSocketClientDisconnect(QObject*, TCustomWinSocket* Socket)
{
    if (isRefused(Socket) || !endConnection(Socket))
        return;
    // The listening socket is opened afresh, with the mark as it was; the
    // router goes on forwarding to it.
    stopListeningSocket(Forwarding::Stays);
    listenMark_ = !listenMark_;
    toggleListen();
}

void ChatLink::ServerSocketClientRead(QObject*, TCustomWinSocket* Socket)
{
    if (isRefused(Socket))
        return;
    session_.dataArrived(Socket->ReadAvailableText());
}

void ChatLink::ServerSocketClientError(QObject*, TCustomWinSocket* Socket, ScktComp::TErrorEvent ErrorEvent,
                                       int& ErrorCode)
{
    const bool listener = Socket == server_->Socket();
    const ConnectionFailure failure{
        listener ? ConnectionFailure::Kind::Listener : ConnectionFailure::Kind::Incoming,
        QStringLiteral("***** Windows Sockets Error #") + QString::number(ErrorCode), systemReason(ErrorCode),
        Socket == chat_, !listener && Socket == keyedPeer_};
    if (front_.connectionFailed(failure))
        ErrorCode = 0;
    if (shutDown_)
        return;
    // An error that ended listening ends the forwarding to it.
    if (listener && !server_->Active())
        stopPortMapping();
    // A peer that resets the connection (for instance by closing it without
    // reading our key message) is gone as surely as one that closes it. Left
    // open, the dead connection would keep every later peer out; end it like
    // an orderly close, so the program listens again.
    if (ErrorEvent == ScktComp::eeDisconnect && Socket->Connected())
        Socket->Close();
    if (!shutDown_)
        refreshStatus();
}

void ChatLink::ClientSocketConnect(QObject*, TCustomWinSocket* Socket)
{
    chat_ = Socket;
    front_.chatStarting(false);
    session_.connectionMade(QString::fromStdString(Socket->PeerHostName()));
}

void ChatLink::ClientSocketDisconnect(QObject*, TCustomWinSocket* Socket)
{
    if (endConnection(Socket))
        toggleListen();
}

void ChatLink::ClientSocketRead(QObject*, TCustomWinSocket* Socket)
{
    session_.dataArrived(Socket->ReadAvailableText());
}

void ChatLink::ClientSocketError(QObject*, TCustomWinSocket* Socket, ScktComp::TErrorEvent ErrorEvent,
                                 int& ErrorCode)
{
    const ConnectionFailure failure{
        ErrorEvent == ScktComp::eeConnect ? ConnectionFailure::Kind::Attempt : ConnectionFailure::Kind::Outgoing,
        attemptFailedText(), systemReason(ErrorCode), Socket == chat_, false};
    if (front_.connectionFailed(failure))
        ErrorCode = 0;
}
