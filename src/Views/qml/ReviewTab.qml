import QtQuick
import QtQuick.Controls

// A tab of the review panel that a screen reader can press.
TabButton {
    id: tab

    width: implicitWidth
    Accessible.name: text
    // A press from a screen reader selects the tab as a click does.
    Accessible.onPressAction: {
        tab.checked = true
        tab.clicked()
    }
}
