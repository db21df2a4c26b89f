// What the connection owner (ChatLink) tells the front end that shows the
// chat: the window or the terminal. The front end shows; the link decides
// when, and with which words.
#pragma once

#include <QString>

#include <exception>

// An error event of a connection, as the link reports it.
struct ConnectionFailure {
    enum class Kind {
        Attempt,   // the outgoing connection attempt failed
        Outgoing,  // an error on the open outgoing connection
        Incoming,  // an error on a connection the listening socket accepted
        Listener,  // an error of the listening socket itself
    };

    Kind kind;
    // The line the window shows for it: "Error connecting to : " and the
    // address tried, or "***** Windows Sockets Error #" and the code.
    QString notice;
    // The system's own words for the error code.
    QString reason;
    // The connection is the one the chat runs on.
    bool ofTheChat = false;
    // The connection is an accepted one whose peer has sent its key: it has
    // shown it speaks the chat, so its errors matter.
    bool keyed = false;
};

class ChatFront {
public:
    virtual ~ChatFront() = default;

    // A line the peer sent, decrypted.
    virtual void appendIncoming(const QString& line) = 0;
    // "Listening...", "Connected to: " and the peer, or empty.
    virtual void setStatus(const QString& text) = 0;
    // An error raised by a step the link took on its own (the session's
    // timer, the flush of a connection that ended); the step is over.
    virtual void showError(const std::exception& error) = 0;
    // An error event of a connection. True when the front end has said all
    // there is to say; false lets the connection layer raise it as an error
    // (which reaches the application's error handler).
    virtual bool connectionFailed(const ConnectionFailure& failure) = 0;

    // The Listen toggle turned on or off.
    virtual void listenMarkChanged(bool /*on*/) {}
    // A chat starts on a new connection, `accepted` by the listening socket or
    // made out; its key exchange follows at once.
    virtual void chatStarting(bool /*accepted*/) {}
    // The own key message went out (`done` false), or the peer's key has been
    // taken in (`done` true).
    virtual void keyExchangeChanged(bool /*done*/) {}
    // The connection the chat ran on has ended; its keys no longer stand.
    virtual void chatEnded() {}
    // The router forwards the listening port from the internet: `line` says
    // where a peer there connects. Empty once it no longer does.
    virtual void portMappingChanged(const QString& /*line*/) {}
    // Listening goes on without the router's forwarding: `line` says why.
    // The same reason is said once, not again on every Listen.
    virtual void portMappingFailed(const QString& /*line*/) {}
};
