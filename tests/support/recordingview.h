// A chat view that records what the session shows, for tests and fuzz targets
// that run the session without widgets.
#pragma once

#include "session/chatview.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// A chat view that only records.
class RecordingView : public ChatView {
public:
    QStringList sent, incoming;
    QString input, statusText;
    // Every key exchange notification, in order.
    QList<bool> keyExchange;
    // The last wake-up the session asked for.
    std::optional<std::chrono::milliseconds> wakeUp;

    void appendSent(const QString& line) override { sent << line; }
    void appendIncoming(const QString& line) override { incoming << line; }
    QString inputText() const override { return input; }
    void clearInput() override { input.clear(); }
    void setStatus(const QString& text) override { statusText = text; }
    void keyExchangeChanged(bool done) override { keyExchange << done; }
    void wakeSessionIn(std::optional<std::chrono::milliseconds> delay) override { wakeUp = delay; }
};
