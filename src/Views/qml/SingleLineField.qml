import QtQuick
import QtQuick.Controls

// A single-line field with a border that stays visible on a dark palette (at
// least 3:1 against the window, as component boundaries need), and that shows
// the start of its text whenever the text is replaced while it is not being edited.
TextField {
    id: field

    selectByMouse: true
    leftPadding: 8
    rightPadding: 8
    onTextChanged: if (!activeFocus) cursorPosition = 0
    Accessible.name: placeholderText

    background: Rectangle {
        implicitWidth: 120
        implicitHeight: 24
        radius: 3
        color: field.palette.base
        border.width: field.activeFocus ? 2 : 1
        border.color: field.activeFocus ? field.palette.highlight
                                        : Qt.rgba(field.palette.windowText.r, field.palette.windowText.g,
                                                  field.palette.windowText.b, 0.5)
    }
}
