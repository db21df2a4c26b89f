// The chat window: menu, tool button, the sent pane, the input line, the
// incoming pane and the status bar, and the commands behind them. The
// connections and the chat session belong to its ChatLink (link/chatlink.h);
// the window shows what the link reports. The program entry is app/velmora.cpp.
#pragma once

#include "link/chatfront.h"

#include <QMainWindow>

#include <exception>
#include <functional>

class AboutBox;
class ChatLink;
class ChatSession;
class Dialogs;
class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QStatusBar;
class QToolButton;
class StartOptions;

class TChatForm : public QMainWindow, private ChatFront {
    Q_OBJECT
public:
    // The window's size: the width is fixed, the height may shrink freely.
    static constexpr int FormWidth = 427;
    static constexpr int FormHeight = 340;

    explicit TChatForm(Dialogs& dialogs, QWidget* parent = nullptr);
    ~TChatForm() override;

    // Shows an error that nothing handled in the error box. While the box is
    // open, further errors go into the incoming pane instead, so that a flood
    // of them still costs the user one key press.
    void ShowError(const std::exception& error);

    // Listens or connects as the command line asks, as the menu commands would.
    void start(const StartOptions& options);

    QString status() const;
    // Whether the lock picture shows the keys as crossed.
    bool keysCrossedShown() const { return keysCrossedShown_; }

    // The window's connections: its sockets and the chat session over them.
    ChatLink& link() { return *link_; }
    const ChatLink& link() const { return *link_; }
    ChatSession& session();
    QString lastAddress() const;
    AboutBox& aboutBox() { return *aboutBox_; }

    // Components, in declaration order. The names are the window's fixed
    // component names, which tests and the accessibility tree find them by.
    QMenuBar* MainMenu1;          // the menu bar
    QMenu* File1;                 // "&File"
    QAction* Exit1;               // File > Exit: closes both sockets and the window
    QAction* FileConnectItem;     // File > Connect...: asks for an address, connects out
    QAction* FileListenItem;      // File > Listen (a check item): listens on the port, or stops
    QStatusBar* StatusBar1;       // "Listening...", "Connected to: " and the peer, or empty
    QFrame* Bevel1;               // the sunken line under the menu
    QWidget* Panel1;              // the tool panel: Connect!, the lock picture and the logo
    QPlainTextEdit* Memo1;        // the sent pane: the lines this user sent, in plain text
    QPlainTextEdit* Memo2;        // the incoming pane: the peer's lines and connection messages
    QAction* N1;                  // the separator above Exit
    QToolButton* SpeedButton1;    // the "Connect!" tool button, as File > Connect...
    QAction* Disconnect1;         // File > Disconnect: ends the outgoing chat, then toggles Listen
    QWidget* Panel2;              // the strip that holds the input line
    QLineEdit* Edit1;             // the input line: Enter sends its text
    QLabel* GIFImage1;            // the logo
    QLabel* Image1;               // the lock: open until both keys have crossed, then closed
    QMenu* Help1;                 // "&Help"
    QAction* About1;              // Help > About: the borderless about box
    QAction* FilePortMapItem;     // File > Open Port on Router (a check item): listening asks the router to forward the port
    QAction* N2;                  // the separator below it

    // Commands.
    void FileListenItemClick();
    void FileConnectItemClick();
    void Disconnect1Click();
    void Exit1Click();
    void About1Click();
    void FilePortMapItemClick(bool checked);
    void FormResize();
    // Starts connecting to `address` as if it had been confirmed in the address prompt.
    void ConnectTo(const QString& address);

    // The key-down event of the input line.
    void Edit1KeyDown(int key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // ChatFront: what the link reports.
    void appendIncoming(const QString& line) override;
    void setStatus(const QString& text) override;
    void showError(const std::exception& error) override;
    bool connectionFailed(const ConnectionFailure& failure) override;
    void listenMarkChanged(bool on) override;
    void chatStarting(bool accepted) override;
    void keyExchangeChanged(bool done) override;
    void chatEnded() override;
    void portMappingChanged(const QString& line) override;
    void portMappingFailed(const QString& line) override;

    void buildMenu();
    void buildClientArea();
    void describeControls();
    void showKeysCrossed(bool crossed);
    void alignClientArea();
    // Runs one command or key event; an error nothing handled goes to the error box.
    void runGuarded(const std::function<void()>& step);

    Dialogs& dialogs_;
    QWidget* clientArea_;
    QLabel* statusField_;
    AboutBox* aboutBox_;
    ChatLink* link_;
    bool keysCrossedShown_ = false;
    // Where peers on the internet connect while the router forwards the port; empty otherwise.
    QString portMappingLine_;
    bool errorBoxOpen_ = false;
};
