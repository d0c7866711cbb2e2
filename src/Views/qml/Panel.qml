import QtQuick
import QtQuick.Controls

// The translucent rounded panel behind editors and the preview reply.
Rectangle {
    property bool focused: false

    radius: 12
    color: Qt.rgba(palette.base.r, palette.base.g, palette.base.b, 0.6)
    border.width: focused ? 2 : 1
    border.color: focused ? palette.highlight
                          : Qt.rgba(palette.windowText.r, palette.windowText.g,
                                    palette.windowText.b, 0.14)
}
