// The look of the chat window and its dialogs: the nearest sans-serif font the
// platform has to the classic small dialog font, and the pictures.
#pragma once

#include <QFont>
#include <QString>

// The window and prompt font, 10 pixels high.
QFont chatFont();
// The about box font, 11 pixels high.
QFont aboutFont();
// Registers the pictures under ":/velmora/"; safe to call more than once.
void initChatResources();

// The application's title: the main window's caption and the error box's title.
QString applicationTitle();
// Names the application for the desktop and the window system. It sets no
// display name on purpose: Qt appends one to the title of every window whose
// title does not already end with it, and the address prompt's title must be
// exactly its caption.
void setUpApplication();
