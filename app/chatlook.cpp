#include "chatlook.h"

#include <QGuiApplication>
#include <QStringList>

namespace {

QFont sansFont(int pixelSize)
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}

} // namespace

QFont chatFont()
{
    return sansFont(10);
}

QFont aboutFont()
{
    return sansFont(11);
}

void initChatResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(velmora);
        return true;
    }();
    (void)registered;
}

QString applicationTitle()
{
    return QStringLiteral("Velmora v2");
}

void setUpApplication()
{
    QGuiApplication::setApplicationName(QStringLiteral("velmora"));
    QGuiApplication::setDesktopFileName(QStringLiteral("velmora"));
}
