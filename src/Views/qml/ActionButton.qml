import QtQuick
import QtQuick.Controls

// A push button that the keyboard (Space, Return, Enter) and a screen reader
// can press as well as the pointer.
Button {
    id: control

    // Room around the label, so that it does not touch the frame.
    horizontalPadding: 12
    verticalPadding: 6
    Accessible.name: text
    // Qt Quick's bridge does nothing on a screen reader's press unless it is
    // handled here. It also reports a disabled button as enabled, so the press
    // must respect `enabled` itself.
    Accessible.onPressAction: if (control.enabled) control.clicked()
    Keys.onReturnPressed: if (control.enabled) control.clicked()
    Keys.onEnterPressed: if (control.enabled) control.clicked()
}
