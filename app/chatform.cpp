#include "app/chatform.h"

#include "app/aboutbox.h"
#include "app/chatlook.h"
#include "app/dialogs.h"
#include "link/chatlink.h"
#include "session/startoptions.h"

#include <QAction>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScopedValueRollback>

#include <stdexcept>

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

    link_ = new ChatLink(*this, ChatLink::AfterChat::ListenAgain, this);

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

TChatForm::~TChatForm() = default;

void TChatForm::start(const StartOptions& options)
{
    FilePortMapItem->setChecked(options.portMapping);
    link_->setPortMapping(options.portMapping);
    runGuarded([this, &options] { link_->start(options); });
}

ChatSession& TChatForm::session()
{
    return link_->session();
}

QString TChatForm::lastAddress() const
{
    return link_->lastAddress();
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
    link_->refreshStatus();
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

void TChatForm::showError(const std::exception& error)
{
    ShowError(error);
}

void TChatForm::appendIncoming(const QString& line)
{
    Memo2->appendPlainText(line);
    // Someone working in another window is told, not interrupted.
    if (!isActiveWindow())
        dialogs_.alert(this);
}

void TChatForm::setStatus(const QString& text)
{
    statusField_->setText(text);
}

void TChatForm::keyExchangeChanged(bool done)
{
    showKeysCrossed(done);
}

void TChatForm::chatEnded()
{
    showKeysCrossed(false);
}

// Said in the incoming pane without asking for attention: the chat goes on
// either way.
void TChatForm::portMappingChanged(const QString& line)
{
    portMappingLine_ = line;
    if (!line.isEmpty())
        Memo2->appendPlainText(line);
    showKeysCrossed(keysCrossedShown_);
}

void TChatForm::portMappingFailed(const QString& line)
{
    Memo2->appendPlainText(line);
}

void TChatForm::listenMarkChanged(bool on)
{
    FileListenItem->setChecked(on);
}

// The incoming pane starts empty for every peer that connects in.
void TChatForm::chatStarting(bool accepted)
{
    if (accepted)
        Memo2->clear();
}

bool TChatForm::connectionFailed(const ConnectionFailure& failure)
{
    appendIncoming(failure.notice);
    // The listening socket's own errors, and those of a peer that has sent its
    // key, go on to the error box. A connection that never got as far as the
    // peer's key (a port scanner connecting and resetting, say) is not worth
    // one: the pane line says enough. An outgoing connection's error is said
    // by its line alone.
    return failure.kind != ConnectionFailure::Kind::Listener && !failure.keyed;
}

QString TChatForm::status() const
{
    return statusField_->text();
}

void TChatForm::FileListenItemClick()
{
    link_->toggleListen();
}

void TChatForm::FileConnectItemClick()
{
    link_->endChatBeforeConnecting();
    const std::optional<QString> address = dialogs_.promptText(this, QStringLiteral("Computer to connect to"),
                                                               QStringLiteral("Address Name:"), link_->lastAddress());
    if (!address)
        return;
    ConnectTo(*address);
}

void TChatForm::ConnectTo(const QString& address)
{
    link_->connectTo(address);
}

void TChatForm::Disconnect1Click()
{
    link_->hangUp();
}

// Every connection and listening ends without a handler running, so that
// nothing opens again, or asks for the user, while the window closes.
void TChatForm::Exit1Click()
{
    link_->shutDown();
    close();
}

// The choice holds for this run only.
void TChatForm::FilePortMapItemClick(bool checked)
{
    link_->setPortMapping(checked);
}

void TChatForm::About1Click()
{
    dialogs_.showAbout(*aboutBox_);
}

void TChatForm::FormResize()
{
    Edit1->resize(Memo1->width(), Edit1->height());
}

void TChatForm::Edit1KeyDown(int key)
{
    // Enter arrives as Qt's Return or keypad Enter key, or as its virtual-key code 13.
    constexpr int VirtualKeyReturn = 13;
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != VirtualKeyReturn)
        return;
    const QString line = Edit1->text();
    if (!link_->sendLine(line))
        return;
    // clear() is undoable and records every character removed; setText()
    // drops the undo history, so a long chat of pasted lines does not pile up
    // in the input line.
    Edit1->setText(QString());
    Memo1->appendPlainText(line);
}
