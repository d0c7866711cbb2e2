#pragma once

#include <QObject>
#include <QQmlParserStatus>
#include <QtQml/qqmlregistration.h>

class QQuickWindow;

// Qt Quick Controls 6.4 (Fusion) colours its windows from its own theme, which
// ignores the application palette; widgets and the rest of the desktop use that
// palette. This makes a window take the application palette, the desktop's
// light or dark one included, now and whenever it changes.
namespace DesktopPalette {

void follow(QQuickWindow *window);

} // namespace DesktopPalette

// Declared first inside a window, makes that window follow the desktop palette
// from the moment it is created, before any of its content exists. Each colour
// that changes on a built window goes through every item in it and every
// binding that reads the palette; on an empty one it costs next to nothing.
class FollowDesktopPalette : public QObject, public QQmlParserStatus
{
    Q_OBJECT
    QML_ELEMENT
    Q_INTERFACES(QQmlParserStatus)

public:
    using QObject::QObject;
    void classBegin() override;
    void componentComplete() override { }
};
