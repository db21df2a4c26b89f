#include "dialogs.h"

#include "addressprompt.h"
#include "chatlook.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

std::optional<QString> WidgetDialogs::promptText(QWidget* parent, const QString& caption, const QString& prompt,
                                                 const QString& initialText)
{
    AddressPrompt dialog(caption, prompt, initialText, parent);
    dialog.centerOnScreen();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.text();
}

void WidgetDialogs::showError(QWidget* parent, const QString& message)
{
    QMessageBox box(QMessageBox::Critical, applicationTitle(), message, QMessageBox::Ok, parent);
    box.exec();
}

void WidgetDialogs::showAbout(QDialog& aboutBox)
{
    aboutBox.exec();
}

void WidgetDialogs::alert(QWidget* window)
{
    QApplication::alert(window);
}

QString errorBoxText(const QString& message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + u'.';
    return message;
}
