// What the chat session sees of the window: the two panes, the input line, the
// status text and the state of the key exchange.
#pragma once

#include <QString>

#include <chrono>
#include <optional>

class ChatView {
public:
    virtual ~ChatView() = default;

    // Appends a line to the pane of the lines this user sent.
    virtual void appendSent(const QString& line) = 0;
    // Appends a line to the pane of received lines and connection messages.
    virtual void appendIncoming(const QString& line) = 0;
    virtual QString inputText() const = 0;
    virtual void clearInput() = 0;
    virtual void setStatus(const QString& text) = 0;
    // The own key message went out (`done` false) or the peer's key has been
    // taken (`done` true). A view that shows nothing of it need not override.
    virtual void keyExchangeChanged(bool /*done*/) {}
    // The session wants its timePassed() called once `delay` has passed,
    // instead of any earlier wish; nothing is wanted when `delay` is empty.
    // Errors it raises there go where those of a read go.
    virtual void wakeSessionIn(std::optional<std::chrono::milliseconds> delay) = 0;
};
