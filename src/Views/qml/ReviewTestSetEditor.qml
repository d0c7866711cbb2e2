import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// The test set: traveller messages, edited in place, moved up and down,
// removed and added. Saved for the service base URL after every edit.
ColumnLayout {
    id: editor

    required property ReviewSession session

    spacing: 6

    SecondaryText {
        objectName: "testSetText"
        Layout.fillWidth: true
        visible: text.length > 0
        text: editor.session.testSetText
        Accessible.name: text
    }

    ListView {
        id: messages
        objectName: "testSetList"
        Layout.fillWidth: true
        Layout.fillHeight: true
        clip: true
        spacing: 4
        reuseItems: true
        model: editor.session.testSet
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}

        delegate: RowLayout {
            id: row

            required property int index
            required property string message

            width: ListView.view.width - 16
            spacing: 4

            TextField {
                objectName: "testMessageField"
                Layout.fillWidth: true
                placeholderText: "Traveler message"
                text: row.message
                selectByMouse: true
                onTextEdited: editor.session.setMessage(row.index, text)
                Accessible.name: "Test message " + (row.index + 1)
            }
            ActionButton {
                objectName: "moveMessageUpButton"
                text: "Up"
                enabled: row.index > 0
                onClicked: editor.session.moveMessage(row.index, row.index - 1)
                Accessible.name: "Move message " + (row.index + 1) + " up"
            }
            ActionButton {
                objectName: "moveMessageDownButton"
                text: "Down"
                enabled: row.index < messages.count - 1
                onClicked: editor.session.moveMessage(row.index, row.index + 1)
                Accessible.name: "Move message " + (row.index + 1) + " down"
            }
            ActionButton {
                objectName: "removeMessageButton"
                text: "Remove"
                onClicked: editor.session.removeMessage(row.index)
                Accessible.name: "Remove message " + (row.index + 1)
            }
        }
    }

    ActionButton {
        objectName: "addMessageButton"
        text: "Add message"
        enabled: editor.session.testSetReady
        onClicked: {
            editor.session.addMessage("")
            messages.positionViewAtEnd()
        }
    }
}
