import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// Every change of the draft against live, one row each: where, in words, and
// the old and new value, or the word diff of a long text.
ListView {
    id: list

    required property ReviewSession session

    objectName: "changesList"
    clip: true
    spacing: 10
    model: session.changes
    activeFocusOnTab: true
    keyNavigationEnabled: true
    boundsBehavior: Flickable.StopAtBounds
    ScrollBar.vertical: ScrollBar {}
    Accessible.role: Accessible.List
    Accessible.name: "Changes"

    delegate: ColumnLayout {
        id: change

        required property int index
        required property string label
        required property string kind
        required property string before
        required property string after
        required property string marked
        required property string spoken
        required property bool hasWords

        width: ListView.view.width - 16
        spacing: 2
        Accessible.role: Accessible.ListItem
        Accessible.name: label + ", " + kind + ": " + (hasWords ? spoken
                                                              : "was " + before + ", now " + after)

        Label {
            objectName: "changeLabel"
            Layout.fillWidth: true
            text: change.label + " (" + change.kind + ")"
            font.weight: Font.DemiBold
            wrapMode: Text.Wrap
            Accessible.name: text
        }
        Label {
            objectName: "changeWords"
            Layout.fillWidth: true
            visible: change.hasWords
            text: change.marked
            textFormat: Text.StyledText
            wrapMode: Text.Wrap
            Accessible.name: change.spoken
        }
        SecondaryText {
            objectName: "changeBefore"
            Layout.fillWidth: true
            visible: !change.hasWords
            text: "Was: " + change.before
            Accessible.name: text
        }
        Label {
            objectName: "changeAfter"
            Layout.fillWidth: true
            visible: !change.hasWords
            text: "Now: " + change.after
            wrapMode: Text.Wrap
            Accessible.name: text
        }
        // Keeps the row that the arrow keys reach in view, marked for the eye.
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 2
            color: change.ListView.isCurrentItem && list.activeFocus ? list.palette.highlight
                                                                     : "transparent"
        }
    }
}
