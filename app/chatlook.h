// The look of the chat window and its dialogs: the nearest sans-serif font the
// platform has to the classic small dialog font, the pictures, and text
// colours that stay readable.
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>

// Text this far from its background in contrast reads well (the usual figure
// for body text).
inline constexpr double ReadableContrast = 4.5;

// The window and prompt font, 10 pixels high.
QFont chatFont();
// The about box font, 11 pixels high.
QFont aboutFont();
// Registers the pictures under ":/velmora/"; safe to call more than once.
void initChatResources();

// The picture `name` (":/velmora/<name>.png") for a screen of the given pixel
// ratio: the drawing made at twice the size ("<name>@2x.png") above 1.
QPixmap chatPicture(const QString& name, qreal devicePixelRatio);
// The picture `name` as an icon holding both sizes.
QIcon chatIcon(const QString& name);

// Contrast ratio of two colours from their relative luminance, 1 to 21.
double contrastRatio(const QColor& first, const QColor& second);
// `preferred` when it reaches ReadableContrast against `background`, else
// black or white, whichever stands out more.
QColor readableOn(const QColor& background, const QColor& preferred);
// Makes the text of `group` readable on its base colour.
void makeTextReadable(QPalette& palette, QPalette::ColorGroup group);

// The application's title: the main window's caption and the error box's title.
QString applicationTitle();
// Names the application for the desktop and the window system. It sets no
// display name on purpose: Qt appends one to the title of every window whose
// title does not already end with it, and the address prompt's title must be
// exactly its caption.
void setUpApplication();
