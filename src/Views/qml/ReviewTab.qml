import QtQuick
import QtQuick.Controls

// A tab of the review panel that a screen reader can press.
TabButton {
    id: tab

    width: implicitWidth
    // Fusion's few pixels either side run the labels together; a tab reads as
    // a target of its own with room around its label.
    horizontalPadding: 14
    verticalPadding: 5
    Accessible.name: text
    // A press from a screen reader selects the tab as a click does.
    Accessible.onPressAction: {
        tab.checked = true
        tab.clicked()
    }
}
