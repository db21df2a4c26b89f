// The chat window: menu, tool button, the sent pane, the input line, the
// incoming pane and the status bar, with the listening and the connecting
// socket and the commands that switch them. main() is in app/velmora.cpp; it
// reads the command line (session/startoptions.h) and shows this window.
#pragma once

#include "net/ScktComp.h"
#include "session/chatoutlet.h"
#include "session/chatview.h"

#include <QMainWindow>
#include <QPointer>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

class AboutBox;
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
class QTimer;
class QToolButton;

class TChatForm : public QMainWindow, public ChatView, public ChatOutlet {
    Q_OBJECT
public:
    // The window's size: the width is fixed, the height may shrink freely.
    static constexpr int FormWidth = 427;
    static constexpr int FormHeight = 340;
    static constexpr int DefaultPort = 1024;

    explicit TChatForm(Dialogs& dialogs, QWidget* parent = nullptr);
    ~TChatForm() override;

    // Shows an error that nothing handled in the error box. While the box is
    // open, further errors go into the incoming pane instead, so that a flood
    // of them still costs the user one key press.
    void ShowError(const std::exception& error);

    // ChatView
    void appendSent(const QString& line) override;
    void appendIncoming(const QString& line) override;
    QString inputText() const override;
    void clearInput() override;
    void setStatus(const QString& text) override;
    void keyExchangeChanged(bool done) override;
    void wakeSessionIn(std::optional<std::chrono::milliseconds> delay) override;
    QString status() const;
    // Whether the lock picture shows the keys as crossed.
    bool keysCrossedShown() const { return keysCrossedShown_; }
    // ChatOutlet: the first accepted connection in the server role, the
    // outgoing one in the client role.
    bool sendMessage(bool serverRole, std::string_view message) override;
    std::size_t queuedBytes(bool serverRole) const override;

    ChatSession& session() { return *session_; }
    QString lastAddress() const { return lastAddress_; }
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
    ScktComp::TServerSocket* ServerSocket;  // the listening socket (server role)
    ScktComp::TClientSocket* ClientSocket;  // the connecting socket (client role)
    QWidget* Panel2;              // the strip that holds the input line
    QLineEdit* Edit1;             // the input line: Enter sends its text
    QLabel* GIFImage1;            // the logo
    QLabel* Image1;               // the lock: open until both keys have crossed, then closed
    QMenu* Help1;                 // "&Help"
    QAction* About1;              // Help > About: the borderless about box

    // Commands.
    void FileListenItemClick();
    void FileConnectItemClick();
    void Disconnect1Click();
    void Exit1Click();
    void About1Click();
    void FormResize();
    // Starts connecting to `address` as if it had been confirmed in the address prompt.
    void ConnectTo(const QString& address);

    // Socket events.
    void ServerSocketAccept(QObject* Sender, ScktComp::TCustomWinSocket* Socket);
    void ServerSocketClientConnect(QObject* Sender, ScktComp::TCustomWinSocket* Socket);
    void ServerSocketClientDisconnect(QObject* Sender, ScktComp::TCustomWinSocket* Socket);
    void ServerSocketClientRead(QObject* Sender, ScktComp::TCustomWinSocket* Socket);
    void ServerSocketClientError(QObject* Sender, ScktComp::TCustomWinSocket* Socket,
                                 ScktComp::TErrorEvent ErrorEvent, int& ErrorCode);
    void ClientSocketConnect(QObject* Sender, ScktComp::TCustomWinSocket* Socket);
    void ClientSocketDisconnect(QObject* Sender, ScktComp::TCustomWinSocket* Socket);
    void ClientSocketRead(QObject* Sender, ScktComp::TCustomWinSocket* Socket);
    void ClientSocketError(QObject* Sender, ScktComp::TCustomWinSocket* Socket, ScktComp::TErrorEvent ErrorEvent,
                           int& ErrorCode);

    // The key-down event of the input line.
    void Edit1KeyDown(int key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenu();
    void buildClientArea();
    void describeControls();
    void showKeysCrossed(bool crossed);
    // A connection of the given role has ended: its keys no longer stand.
    void connectionEnded(bool serverRole);
    void wireSockets();
    void alignClientArea();
    // Runs one command or key event; an error nothing handled goes to the error box.
    void runGuarded(const std::function<void()>& step);
    bool isRefused(const ScktComp::TCustomWinSocket* connection) const;
    // Whether an accepted connection other than `except` is open.
    bool hasInboundPeer(const ScktComp::TCustomWinSocket* except = nullptr) const;
    // Stops listening: every accepted connection ends without events, the
    // Listen mark goes and the status empties.
    void stopListening();
    // The connection a line goes out on in the given role: the first accepted
    // one (raising when the peer has gone) or the outgoing one.
    // Without `raise`, no connection in the server role is nullptr instead.
    ScktComp::TCustomWinSocket* connectionOf(bool serverRole, bool raise = true) const;
    // The status claims no listening or connection once no socket is active.
    void followSockets();

    Dialogs& dialogs_;
    QTimer* sessionWakeUp_;
    QWidget* clientArea_;
    QLabel* statusField_;
    AboutBox* aboutBox_;
    std::unique_ptr<ChatSession> session_;
    QString lastAddress_;
    bool keysCrossedShown_ = false;
    // Incoming connections closed on arrival because a peer was already connected.
    std::vector<QPointer<ScktComp::TCustomWinSocket>> refused_;
    // The accepted connection whose peer's key was taken in.
    QPointer<ScktComp::TCustomWinSocket> keyedPeer_;
    bool errorBoxOpen_ = false;
};
