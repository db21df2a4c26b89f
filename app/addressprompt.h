// A small modal text prompt: caption, one prompt line, one text field, OK and
// Cancel. Its geometry is laid out in dialog units of its font.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class AddressPrompt : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxTextLength = 255;

    AddressPrompt(const QString& caption, const QString& prompt, const QString& initialText,
                  QWidget* parent = nullptr);

    QString text() const;
    void centerOnScreen();

    QLabel* promptLabel() const { return label_; }
    QLineEdit* textField() const { return edit_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    QLabel* label_;
    QLineEdit* edit_;
    QPushButton* ok_;
    QPushButton* cancel_;
};
