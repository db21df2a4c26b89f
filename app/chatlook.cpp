#include "chatlook.h"

#include <QPalette>
#include <QGuiApplication>
#include <QStringList>

#include <algorithm>
#include <cmath>

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

QPixmap chatPicture(const QString& name, qreal devicePixelRatio)
{
    initChatResources();
    if (devicePixelRatio > 1.0) {
        QPixmap large(QStringLiteral(":/velmora/%1@2x.png").arg(name));
        if (!large.isNull()) {
            large.setDevicePixelRatio(2.0);
            return large;
        }
    }
    return QPixmap(QStringLiteral(":/velmora/%1.png").arg(name));
}

QIcon chatIcon(const QString& name)
{
    initChatResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/velmora/%1.png").arg(name));
    icon.addFile(QStringLiteral(":/velmora/%1@2x.png").arg(name));
    return icon;
}

namespace {

// Relative luminance of an sRGB colour.
double luminance(const QColor& colour)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

} // namespace

double contrastRatio(const QColor& first, const QColor& second)
{
    const double a = luminance(first);
    const double b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor readableOn(const QColor& background, const QColor& preferred)
{
    if (contrastRatio(preferred, background) >= ReadableContrast)
        return preferred;
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    return contrastRatio(black, background) >= contrastRatio(white, background) ? black : white;
}

void makeTextReadable(QPalette& palette, QPalette::ColorGroup group)
{
    palette.setColor(group, QPalette::Text,
                     readableOn(palette.color(group, QPalette::Base), palette.color(group, QPalette::Text)));
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
