#include "aboutbox.h"

#include "chatlook.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include <functional>

namespace {

// An invisible square that runs its action when a mouse button is released
// over it.
class HotSpot : public QWidget {
public:
    HotSpot(std::function<void()> action, QWidget* parent) : QWidget(parent), action_(std::move(action)) {}

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (rect().contains(event->position().toPoint()))
            action_();
    }

private:
    std::function<void()> action_;
};

} // namespace

AboutBox::AboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
    , banner_(new QLabel(this))
    , description_(new QLabel(this))
    , close_(new QPushButton(QStringLiteral("Close"), this))
    , hotSpot_(new HotSpot([this] { accept(); }, this))
{
    setObjectName(QStringLiteral("AboutBox"));
    initChatResources();
    setFont(aboutFont());
    setFixedSize(528, 275);

    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(0, 105, 179));
    colours.setColor(QPalette::WindowText, Qt::white);
    setPalette(colours);
    setAutoFillBackground(true);

    banner_->setPixmap(chatPicture(QStringLiteral("banner"), devicePixelRatioF()));
    banner_->setAccessibleName(QStringLiteral("Velmora v2"));
    banner_->setAccessibleDescription(QStringLiteral("Banner: public-key chat over TCP/IP"));
    banner_->setGeometry(0, 0, 528, 79);

    description_->setText(QStringLiteral(
        "Velmora v2 is a public-key based chat application which works via the Internet (TCP/IP)."));
    description_->setAttribute(Qt::WA_TranslucentBackground);
    description_->adjustSize();
    description_->move(16, 84);

    close_->setGeometry(444, 244, 75, 25);
    QPalette buttonColours = close_->palette();
    buttonColours.setColor(QPalette::ButtonText, Qt::black);
    close_->setPalette(buttonColours);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);

    hotSpot_->setObjectName(QStringLiteral("HotSpot"));
    hotSpot_->setGeometry(508, 4, 17, 17);
    hotSpot_->setAccessibleName(QStringLiteral("Close"));
    hotSpot_->setAccessibleDescription(QStringLiteral("An invisible square that closes the box, as the Close button does"));
    close_->setAccessibleDescription(QStringLiteral("Closes the about box"));
    setAccessibleName(QStringLiteral("About Velmora v2"));
}

void AboutBox::keyPressEvent(QKeyEvent* event)
{
    // The box closes only by its button or its hot spot, not by Escape.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void AboutBox::showEvent(QShowEvent* event)
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}
