// The look of the chat window and its dialogs: the nearest sans-serif font the
// platform has to the classic small dialog font, and the pictures.
#pragma once

#include <QFont>

// The window and prompt font, 10 pixels high.
QFont chatFont();
// The about box font, 11 pixels high.
QFont aboutFont();
// Registers the pictures under ":/velmora/"; safe to call more than once.
void initChatResources();
