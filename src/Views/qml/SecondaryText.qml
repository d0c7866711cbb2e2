import QtQuick
import QtQuick.Controls

// Dimmed text: the window's text colour at reduced opacity, so it stays
// legible on a light and on a dark palette alike.
StyledText {
    color: Qt.rgba(palette.windowText.r, palette.windowText.g, palette.windowText.b, 0.72)
}
