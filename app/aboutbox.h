// The about box: a frameless blue window with a banner, one line of text, a
// Close button and an invisible hot spot in its top right corner.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent = nullptr);

    QLabel* banner() const { return banner_; }
    QLabel* description() const { return description_; }
    QPushButton* closeButton() const { return close_; }
    QWidget* hotSpot() const { return hotSpot_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QLabel* banner_;
    QLabel* description_;
    QPushButton* close_;
    QWidget* hotSpot_;
};
