// The modal dialogs of the chat window and its attention hint behind one seam,
// so that tests can answer them without running a nested event loop.
#pragma once

#include <QString>

#include <optional>

class QDialog;
class QWidget;

class Dialogs {
public:
    virtual ~Dialogs() = default;

    // Asks for a text; nothing when the user cancels or closes the prompt.
    virtual std::optional<QString> promptText(QWidget* parent, const QString& caption, const QString& prompt,
                                              const QString& initialText) = 0;
    // Shows an error message (already in its final wording) and waits for OK.
    virtual void showError(QWidget* parent, const QString& message) = 0;
    // Shows the about box modally.
    virtual void showAbout(QDialog& aboutBox) = 0;
    // Asks the desktop to draw the user's eye to `window` (a flashing task-bar
    // entry, say) without raising it or taking the focus.
    virtual void alert(QWidget* window) = 0;
};

// The real dialogs: the address prompt, a message box with an error icon and
// the about box, each run modally.
class WidgetDialogs : public Dialogs {
public:
    std::optional<QString> promptText(QWidget* parent, const QString& caption, const QString& prompt,
                                      const QString& initialText) override;
    void showError(QWidget* parent, const QString& message) override;
    void showAbout(QDialog& aboutBox) override;
    void alert(QWidget* window) override;
};

// The text of the error box for an error message: a full stop is appended when
// the message is not empty and its last character sorts after '.'.
QString errorBoxText(const QString& message);
