#pragma once

class QQuickWindow;

// Qt Quick Controls 6.4 (Fusion) colours its windows from its own theme, which
// ignores the application palette; widgets and the rest of the desktop use that
// palette. This makes a window take the application palette, the desktop's
// light or dark one included, now and whenever it changes.
namespace DesktopPalette {

void follow(QQuickWindow *window);

} // namespace DesktopPalette
