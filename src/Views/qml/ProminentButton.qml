import QtQuick
import QtQuick.Controls

// The window's one prominent button: filled with the accent colour, darkened so
// that its light text stays legible, while it can be pressed; plain when disabled.
ActionButton {
    id: control

    readonly property color fill: Qt.darker(palette.highlight, down ? 1.45 : 1.2)

    contentItem: Label {
        text: control.text
        font: control.font
        color: control.enabled ? control.palette.highlightedText : control.palette.buttonText
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        Accessible.ignored: true
    }
    background: Rectangle {
        implicitWidth: 80
        implicitHeight: 28
        radius: 4
        color: control.enabled ? control.fill : control.palette.button
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? control.palette.highlightedText
                                          : Qt.darker(color, 1.2)
    }
}
