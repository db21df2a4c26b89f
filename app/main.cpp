#include "main.h"

#include "aboutbox.h"
#include "chatlook.h"
#include "dialogs.h"
#include "session/chatsession.h"

#include <QAction>
#include <QEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QStatusBar>
#include <QToolButton>

#include <algorithm>
#include <limits>

using ScktComp::TCustomWinSocket;

namespace {

constexpr int BevelHeight = 2;
constexpr int Panel1Height = 43;
constexpr int Memo1Height = 115;
constexpr int Panel2Height = 24;
constexpr int StatusBarHeight = 17;
constexpr int Edit1DesignWidth = 413;
constexpr int Edit1Height = 21;

} // namespace

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

void TChatForm::buildMenu()
{
    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    setMenuBar(MainMenu1);

    File1 = MainMenu1->addMenu(QStringLiteral("&File"));
    File1->setObjectName(QStringLiteral("File1"));
    FileListenItem = File1->addAction(QStringLiteral("&Listen"));
    FileListenItem->setObjectName(QStringLiteral("FileListenItem"));
    FileListenItem->setCheckable(true);
    FileConnectItem = File1->addAction(QStringLiteral("&Connect..."));
    FileConnectItem->setObjectName(QStringLiteral("FileConnectItem"));
    Disconnect1 = File1->addAction(QStringLiteral("&Disconnect"));
    Disconnect1->setObjectName(QStringLiteral("Disconnect1"));
    N1 = File1->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    Exit1 = File1->addAction(QStringLiteral("E&xit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));

    Help1 = MainMenu1->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    About1 = Help1->addAction(QStringLiteral("&About"));
    About1->setObjectName(QStringLiteral("About1"));

    // A checkable action flips its own mark before it reports the trigger; the
    // Listen command flips the mark itself as its first step, so undo Qt's flip.
    connect(FileListenItem, &QAction::triggered, this, [this](bool checked) {
        FileListenItem->setChecked(!checked);
        runGuarded([this] { FileListenItemClick(); });
    });
    connect(FileConnectItem, &QAction::triggered, this, [this] { runGuarded([this] { FileConnectItemClick(); }); });
    connect(Disconnect1, &QAction::triggered, this, [this] { runGuarded([this] { Disconnect1Click(); }); });
    connect(Exit1, &QAction::triggered, this, [this] { runGuarded([this] { Exit1Click(); }); });
    connect(About1, &QAction::triggered, this, [this] { runGuarded([this] { About1Click(); }); });
}

void TChatForm::buildClientArea()
{
    clientArea_ = new QWidget(this);
    clientArea_->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(clientArea_);

    Bevel1 = new QFrame(clientArea_);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);

    Panel1 = new QWidget(clientArea_);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    SpeedButton1 = new QToolButton(Panel1);
    SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
    SpeedButton1->setText(QStringLiteral("Connect!"));
    SpeedButton1->setIcon(chatIcon(QStringLiteral("connect")));
    SpeedButton1->setIconSize(QSize(24, 24));
    SpeedButton1->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setGeometry(6, 6, 79, 28);
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { runGuarded([this] { FileConnectItemClick(); }); });
    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(280, 6, 32, 32);
    GIFImage1 = new QLabel(Panel1);
    GIFImage1->setObjectName(QStringLiteral("GIFImage1"));
    GIFImage1->setPixmap(chatPicture(QStringLiteral("logo"), devicePixelRatioF()));
    GIFImage1->setGeometry(316, 4, 100, 36);

    Memo1 = new QPlainTextEdit(clientArea_);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setEnabled(false);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A disabled pane draws its text pale grey on grey. The pane stays disabled,
    // but its text is taken most of the way back to the normal text colour, and
    // further if that still does not read on the pane's background.
    QPalette sentColours = Memo1->palette();
    const QColor normalText = sentColours.color(QPalette::Active, QPalette::Text);
    const QColor paleText = sentColours.color(QPalette::Disabled, QPalette::Text);
    sentColours.setColor(QPalette::Disabled, QPalette::Text,
                         QColor::fromRgbF((2 * normalText.redF() + paleText.redF()) / 3,
                                          (2 * normalText.greenF() + paleText.greenF()) / 3,
                                          (2 * normalText.blueF() + paleText.blueF()) / 3));
    makeTextReadable(sentColours, QPalette::Disabled);
    Memo1->setPalette(sentColours);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The panes are only ever appended to or emptied; an undo history would
    // hold a second record of every line for nothing.
    Memo1->setUndoRedoEnabled(false);

    Panel2 = new QWidget(clientArea_);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Edit1 = new QLineEdit(Panel2);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(0, 0, Edit1DesignWidth, Edit1Height);
    // No length limit of its own: lines too long for the peer are refused at Enter.
    Edit1->setMaxLength(std::numeric_limits<int>::max());
    Edit1->installEventFilter(this);

    Memo2 = new QPlainTextEdit(clientArea_);
    Memo2->setObjectName(QStringLiteral("Memo2"));
    Memo2->setReadOnly(true);
    Memo2->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo2->setUndoRedoEnabled(false);
    QPalette buttonFace = Memo2->palette();
    buttonFace.setColor(QPalette::Base, buttonFace.color(QPalette::Button));
    makeTextReadable(buttonFace, QPalette::Active);
    makeTextReadable(buttonFace, QPalette::Inactive);
    Memo2->setPalette(buttonFace);
    // Received lines can be reached, read and copied from the keyboard; Tab
    // moves on instead of staying in the pane.
    Memo2->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Memo2->setFocusPolicy(Qt::StrongFocus);
    Memo2->setTabChangesFocus(true);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(StatusBarHeight);
    statusField_ = new QLabel(StatusBar1);
    statusField_->setObjectName(QStringLiteral("StatusText"));
    StatusBar1->addWidget(statusField_, 1);
    setStatusBar(StatusBar1);

    clientArea_->installEventFilter(this);
}

// What a screen reader says of each control, and the Tab order, which follows
// the layout from top to bottom: the tool button, the input line, the incoming
// pane. The sent pane is disabled and takes no focus. The menu commands are
// reached by their access keys (Alt+F, Alt+H, then the underlined letter).
void TChatForm::describeControls()
{
    const auto describe = [](QWidget* control, const QString& name, const QString& description) {
        control->setAccessibleName(name);
        control->setAccessibleDescription(description);
    };
    describe(MainMenu1, QStringLiteral("Menu bar"), QStringLiteral("The File menu (Alt+F) and the Help menu (Alt+H)"));
    describe(File1, QStringLiteral("File"), QStringLiteral("Listen, Connect, Disconnect and Exit"));
    describe(Help1, QStringLiteral("Help"), QStringLiteral("About Velmora v2"));
    describe(SpeedButton1, QStringLiteral("Connect!"),
             QStringLiteral("Asks for the address of a computer and connects to it, as File, Connect does"));
    describe(Image1, QStringLiteral("Key exchange"), QString());
    describe(GIFImage1, QStringLiteral("Velmora logo"), QStringLiteral("Velmora v2, chat for two"));
    describe(Memo1, QStringLiteral("Sent lines"),
             QStringLiteral("The lines you sent, oldest first; this pane cannot be edited"));
    describe(Edit1, QStringLiteral("Line to send"),
             QStringLiteral("Type a line; Enter sends it to the peer once the keys have crossed and empties this field"));
    describe(Memo2, QStringLiteral("Received lines"),
             QStringLiteral("The lines the peer sent and connection messages, oldest first; read-only"));
    describe(statusField_, QStringLiteral("Connection status"),
             QStringLiteral("Whether the program listens, and the peer it is connected to"));
    describe(StatusBar1, QStringLiteral("Status bar"), QStringLiteral("Shows the connection status"));

    setTabOrder(SpeedButton1, Edit1);
    setTabOrder(Edit1, Memo2);
}

// The lock in the tool panel: open while idle or while the keys are being
// exchanged, closed once both keys have crossed. The status texts stay as they are.
void TChatForm::showKeysCrossed(bool crossed)
{
    keysCrossedShown_ = crossed;
    Image1->setPixmap(chatPicture(crossed ? QStringLiteral("lock-closed") : QStringLiteral("lock-open"),
                                  devicePixelRatioF()));
    const QString state = crossed
        ? QStringLiteral("Closed lock: both keys have crossed; Enter sends the line encrypted")
        : QStringLiteral("Open lock: no keys have crossed yet; Enter sends nothing");
    Image1->setToolTip(state);
    Image1->setAccessibleDescription(state);
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

// The controls stack from the top at fixed heights; only the incoming pane
// takes what height is left, down to nothing.
void TChatForm::alignClientArea()
{
    const int width = clientArea_->width();
    int top = 0;
    Bevel1->setGeometry(0, top, width, BevelHeight);
    top += BevelHeight;
    Panel1->setGeometry(0, top, width, Panel1Height);
    top += Panel1Height;
    Memo1->setGeometry(0, top, width, Memo1Height);
    top += Memo1Height;
    Panel2->setGeometry(0, top, width, Panel2Height);
    top += Panel2Height;
    Memo2->setGeometry(0, top, width, std::max(0, clientArea_->height() - top));
    FormResize();
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
}

QString TChatForm::status() const
{
    return statusField_->text();
}

bool TChatForm::sendMessage(bool serverRole, std::string_view message)
{
    TCustomWinSocket* connection = nullptr;
    if (serverRole) {
        connection = ServerSocket->Socket()->ConnectionAt(0);
    } else {
        connection = ClientSocket->Socket();
        if (!connection->Connected())
            return false;
    }
    // A failed send closes the connection, and the listening socket may
    // release an accepted one on the spot.
    const QPointer<TCustomWinSocket> sentOn(connection);
    connection->SendTextOnce(message);
    return sentOn && sentOn->Connected();
}

std::size_t TChatForm::queuedBytes(bool serverRole) const
{
    if (serverRole)
        return ServerSocket->Socket()->ConnectionAt(0)->PendingSendBytes();
    return ClientSocket->Socket()->PendingSendBytes();
}

void TChatForm::FileListenItemClick()
{
    FileListenItem->setChecked(!FileListenItem->isChecked());
    if (FileListenItem->isChecked()) {
        ClientSocket->SetActive(false);
        ServerSocket->SetActive(true);
        setStatus(QStringLiteral("Listening..."));
    } else {
        if (ServerSocket->Active()) {
            ServerSocket->SetActive(false);
            connectionEnded(true);
        }
        setStatus(QString());
    }
}

void TChatForm::FileConnectItemClick()
{
    if (ClientSocket->Active())
        ClientSocket->SetActive(false);
    // Both peers would share one set of session keys: the inbound chat ends first.
    if (hasInboundPeer())
        endInboundChat();
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

void TChatForm::endInboundChat()
{
    ServerSocket->SetActive(false);
    FileListenItem->setChecked(false);
    setStatus(QString());
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
    connectionEnded(true);
    ServerSocket->SetActive(false);
    FileListenItem->setChecked(!FileListenItem->isChecked());
    FileListenItemClick();
}

void TChatForm::ServerSocketClientRead(QObject*, TCustomWinSocket* Socket)
{
    if (isRefused(Socket))
        return;
    const bool awaited = session_->awaitingKey();
    session_->dataArrived(Socket->ReadAvailableText());
    if (awaited && !session_->awaitingKey())
        keyedPeer_ = Socket;
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
