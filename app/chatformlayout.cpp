// The window's controls: how they are made, named, described for screen
// readers and laid out. The rest of TChatForm, its commands and what it shows
// of the chat, is in chatform.cpp.
#include "app/chatform.h"

#include "app/chatlook.h"

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QToolButton>

#include <algorithm>
#include <limits>

namespace {

constexpr int BevelHeight = 2;
constexpr int Panel1Height = 43;
constexpr int Memo1Height = 115;
constexpr int Panel2Height = 24;
constexpr int StatusBarHeight = 17;
constexpr int Edit1DesignWidth = 413;
constexpr int Edit1Height = 21;

} // namespace

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
    FilePortMapItem = File1->addAction(QStringLiteral("Open Port on &Router"));
    FilePortMapItem->setObjectName(QStringLiteral("FilePortMapItem"));
    FilePortMapItem->setCheckable(true);
    FilePortMapItem->setChecked(true);
    N2 = File1->addSeparator();
    N2->setObjectName(QStringLiteral("N2"));
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
    connect(FilePortMapItem, &QAction::triggered, this,
            [this](bool checked) { runGuarded([this, checked] { FilePortMapItemClick(checked); }); });
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
    describe(File1, QStringLiteral("File"), QStringLiteral("Listen, Connect, Disconnect, Open Port on Router and Exit"));
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
// exchanged, closed once both keys have crossed. Its tooltip also says where
// peers on the internet connect while the router forwards the port. The
// status texts stay as they are.
void TChatForm::showKeysCrossed(bool crossed)
{
    keysCrossedShown_ = crossed;
    Image1->setPixmap(chatPicture(crossed ? QStringLiteral("lock-closed") : QStringLiteral("lock-open"),
                                  devicePixelRatioF()));
    const QString state = crossed
        ? QStringLiteral("Closed lock: both keys have crossed; Enter sends the line encrypted")
        : QStringLiteral("Open lock: no keys have crossed yet; Enter sends nothing");
    const QString described = portMappingLine_.isEmpty() ? state : state + u'\n' + portMappingLine_;
    Image1->setToolTip(described);
    Image1->setAccessibleDescription(described);
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
