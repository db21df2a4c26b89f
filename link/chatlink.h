// The connections of one chat program and the chat spoken over them: the
// listening socket, the connecting socket, the rule of one peer at a time,
// the Listen, Connect and Disconnect sequences with their status texts, and
// the chat session, which sends through this object and is woken by it. The
// window and the terminal show what it reports (ChatFront) and never touch a
// socket.
#pragma once

#include "link/chatfront.h"
#include "net/socketevents.h"
#include "session/chatoutlet.h"
#include "session/chatsession.h"
#include "session/chatview.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

class PortMapper;
class QTimer;
class StartOptions;

namespace ScktComp {
class TClientSocket;
class TCustomWinSocket;
class TServerSocket;
} // namespace ScktComp

class ChatLink : public QObject, private ChatView, private ChatOutlet {
    Q_OBJECT
public:
    // What happens once a chat's connection has ended.
    enum class AfterChat {
        // The window's way: after an outgoing chat the Listen command runs,
        // after an incoming one the listening socket is opened afresh.
        ListenAgain,
        // Nothing: the front end decides (the terminal ends its run).
        Stay,
    };

    // Makes the port mapper of a link (a child of `parent`), or nullptr for none.
    using PortMapperFactory = std::function<PortMapper*(QObject* parent)>;

    ChatLink(ChatFront& front, AfterChat afterChat, QObject* parent = nullptr);
    ~ChatLink() override;

    // How links get their port mapper, made when listening first asks for
    // one. The programs put in the real one (portmap/) at start; without one
    // links map nothing, so that links built in tests never speak to this
    // machine's router.
    static void setPortMapperFactory(PortMapperFactory factory);

    // The TCP port of both sockets; while neither is active.
    void setPort(int port);
    // Listens or connects as the command line asks; nothing when it asks neither.
    void start(const StartOptions& options);

    // Whether listening asks the router to forward the port (on unless turned
    // off). Off removes a forwarding held; on while listening asks for one.
    void setPortMapping(bool on);
    bool portMapping() const { return portMapping_; }

    // The Listen command: flips the Listen mark; on, it ends the outgoing
    // connection and listens ("Listening..."); off, it stops listening, every
    // accepted connection closed without events, and empties the status.
    void toggleListen();
    // The Disconnect command: ends the outgoing connection, then runs the Listen command.
    void hangUp();
    // What the Connect command does before it asks for an address: the
    // outgoing connection ends, and so does a chat connected in, since both
    // peers would share one set of session keys.
    void endChatBeforeConnecting();
    // Starts connecting to `address`, which becomes the last address (also
    // when empty, which starts nothing).
    void connectTo(const QString& address);
    // Ends listening and every connection for good; nothing reaches the front
    // end after it, not even the ends of the connections it closes.
    void shutDown();

    // Sends `line` once the keys have crossed: true when it went out, false
    // when there is no chat to send it on yet (or any more). A line the peer
    // cannot take raises ESessionError.
    bool sendLine(const QString& line);
    // Ends this side's output on the chat's connection, which stays open for
    // what the peer still sends: the peer reads the end of the stream.
    void endOutput();
    // Closes the chat's connection; its end follows as for any other.
    void dropPeer();
    // Empties the status once neither socket is active: an error may have
    // ended listening without any handler running.
    void refreshStatus();

    bool listenMark() const { return listenMark_; }
    QString lastAddress() const { return lastAddress_; }
    // "Error connecting to : " and the last address.
    QString attemptFailedText() const;
    // Whether the chat's connection stands.
    bool peerConnected() const;
    // Bytes waiting on the chat's connection for the peer to take them.
    std::size_t pendingBytes() const;
    ChatSession& session() { return session_; }
    const ChatSession& session() const { return session_; }

    // The socket components, for tests that pick ports or look at connections.
    ScktComp::TServerSocket* serverSocket() const { return server_; }
    ScktComp::TClientSocket* clientSocket() const { return client_; }

private:
    using TCustomWinSocket = ScktComp::TCustomWinSocket;

    // ChatView: the session's lines and status go to the front end; the typed
    // line is the one sendLine() was given.
    void appendSent(const QString& line) override;
    void appendIncoming(const QString& line) override;
    QString inputText() const override;
    void clearInput() override;
    void setStatus(const QString& text) override;
    void keyExchangeChanged(bool done) override;
    void wakeSessionIn(std::optional<std::chrono::milliseconds> delay) override;
    // ChatOutlet: the first accepted connection in the server role, the
    // outgoing one in the client role.
    bool sendMessage(bool serverRole, std::string_view message) override;
    std::size_t queuedBytes(bool serverRole) const override;

    // Socket events.
    void ServerSocketAccept(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientConnect(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientDisconnect(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientRead(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientError(QObject* Sender, TCustomWinSocket* Socket, ScktComp::TErrorEvent ErrorEvent,
                                 int& ErrorCode);
    void ClientSocketConnect(QObject* Sender, TCustomWinSocket* Socket);
    void ClientSocketDisconnect(QObject* Sender, TCustomWinSocket* Socket);
    void ClientSocketRead(QObject* Sender, TCustomWinSocket* Socket);
    void ClientSocketError(QObject* Sender, TCustomWinSocket* Socket, ScktComp::TErrorEvent ErrorEvent,
                           int& ErrorCode);

    void wireSockets();
    void silenceSockets();
    void setListenMark(bool on);
    // Every start and every stop of the listening socket passes here. The
    // router's forwarding lasts as long as listening; a socket closed only to
    // be opened afresh after a chat keeps it (`forwarding`).
    enum class Forwarding { Ends, Stays };
    void startListening();
    void stopListeningSocket(Forwarding forwarding = Forwarding::Ends);
    // The router's forwarding of the listening port: asked for once a
    // listening, ended with it.
    void startPortMapping();
    void stopPortMapping();
    void portMapped(const QString& externalAddress, quint16 externalPort, const QString& protocol);
    void portMappingFailed(const QString& reason);
    // Stops listening: every accepted connection ends without events, the
    // Listen mark goes and the status empties.
    void stopListening();
    // The connection `ended` is closing: when the chat ran on it, the chat has
    // no connection from now on (true). Its end is reported once the session
    // has taken in what was still waiting.
    bool releaseChat(const TCustomWinSocket* ended);
    void reportChatEnded();
    // A connection has ended: the session takes in what was still waiting on
    // it, and the chat ends if it ran on it. True when listening follows.
    bool endConnection(const TCustomWinSocket* ended);
    // Runs a step the link takes on its own; an error goes to the front end.
    void runCaught(const std::function<void()>& step);
    void wakeSession();
    bool isRefused(const TCustomWinSocket* connection) const;
    // Whether an accepted connection other than `except` is open.
    bool hasInboundPeer(const TCustomWinSocket* except = nullptr) const;
    // The connection a message goes out on in the given role: the first
    // accepted one (raising when the peer has gone) or the outgoing one.
    // Without `raise`, no connection in the server role is nullptr instead.
    TCustomWinSocket* connectionOf(bool serverRole, bool raise = true) const;

    ChatFront& front_;
    const AfterChat afterChat_;
    ScktComp::TServerSocket* const server_;
    ScktComp::TClientSocket* const client_;
    QTimer* const sessionWakeUp_;
    ChatSession session_;
    bool listenMark_ = false;
    bool shutDown_ = false;
    QString lastAddress_;
    // The connection the chat runs on: the one accepted or made last.
    QPointer<TCustomWinSocket> chat_;
    // Incoming connections closed on arrival because a peer was already connected.
    std::vector<QPointer<TCustomWinSocket>> refused_;
    // The accepted connection whose peer's key was taken in.
    QPointer<TCustomWinSocket> keyedPeer_;
    // The line sendLine() is sending, and whether the session took it.
    QString typedLine_;
    bool lineTaken_ = false;
    // Made on the first listening that asks for a forwarding.
    PortMapper* mapper_ = nullptr;
    bool portMapping_ = true;
    // A forwarding was asked for while this listening lasts (a failure too,
    // which is not asked again until listening starts anew).
    bool mappingAsked_ = false;
    // The front end was told of a forwarding that still holds.
    bool mappingShown_ = false;
    // The last failure the front end was told of, so that it is told once.
    QString lastMappingFailure_;
};
