#include "addressprompt.h"

#include "chatlook.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace {

// Dialog units: a horizontal unit is a quarter of the font's average character
// width (measured over the 52 letters), a vertical unit an eighth of its height.
struct DialogUnits {
    int averageWidth;
    int height;

    explicit DialogUnits(const QFont& font)
    {
        const QFontMetrics metrics(font);
        const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        averageWidth = (metrics.horizontalAdvance(letters) + 26) / 52;
        height = metrics.height();
    }
    int x(int units) const { return (units * averageWidth + 2) / 4; }
    int y(int units) const { return (units * height + 4) / 8; }
};

} // namespace

AddressPrompt::AddressPrompt(const QString& caption, const QString& prompt, const QString& initialText,
                             QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint)
    , label_(new QLabel(prompt, this))
    , edit_(new QLineEdit(this))
    , ok_(new QPushButton(QStringLiteral("OK"), this))
    , cancel_(new QPushButton(QStringLiteral("Cancel"), this))
{
    setFont(chatFont());
    setWindowTitle(caption);
    const DialogUnits units(font());

    label_->adjustSize();
    label_->move(units.x(8), units.y(8));

    edit_->setMaxLength(MaxTextLength);
    edit_->setText(initialText);
    edit_->selectAll();
    edit_->setGeometry(units.x(8), units.y(19), units.x(164), edit_->sizeHint().height());
    // A screen reader names the field by its prompt.
    label_->setBuddy(edit_);
    edit_->setAccessibleDescription(caption);

    ok_->setGeometry(units.x(38), units.y(41), units.x(50), units.y(14));
    ok_->setDefault(true);
    cancel_->setGeometry(units.x(92), units.y(41), units.x(50), units.y(14));
    cancel_->setAutoDefault(false);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    setFixedSize(units.x(180), units.y(63));
    edit_->setFocus();
}

QString AddressPrompt::text() const
{
    return edit_->text();
}

void AddressPrompt::centerOnScreen()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}
