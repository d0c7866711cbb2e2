#include "TypeStyle.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QScreen>

#include <cmath>

TypeStyle *TypeStyle::create(QQmlEngine *, QJSEngine *)
{
    static TypeStyle instance;
    QQmlEngine::setObjectOwnership(&instance, QQmlEngine::CppOwnership);
    return &instance;
}

int TypeStyle::pixelSize(const QFont &base, qreal relative)
{
    // Points become pixels at the screen's logical resolution, as text draws them.
    const QScreen *screen = QGuiApplication::primaryScreen();
    const qreal pixels = base.pixelSize() > 0
        ? base.pixelSize()
        : base.pointSizeF() * (screen ? screen->logicalDotsPerInchY() : 96.0) / 72.0;
    return std::max(1, int(std::lround(pixels * relative)));
}
