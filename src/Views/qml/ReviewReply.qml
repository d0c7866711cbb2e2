import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// One reply of a result row: its text, where it came from, and its checks,
// a failure marked in words as well as in colour.
ColumnLayout {
    id: box

    property string side
    property string reply
    property string source
    property string checks
    property bool failed
    property color failureColor
    property color passColor

    Layout.fillWidth: true
    Layout.preferredWidth: 1
    Layout.alignment: Qt.AlignTop
    spacing: 2

    Label {
        objectName: box.objectName + "Text"
        Layout.fillWidth: true
        text: box.reply
        wrapMode: Text.Wrap
        Accessible.name: box.side + " reply: " + text
    }
    SecondaryText {
        objectName: box.objectName + "Source"
        Layout.fillWidth: true
        visible: text.length > 0
        text: box.source
        relativeSize: TypeStyle.caption
        Accessible.name: text
    }
    Label {
        objectName: box.objectName + "Checks"
        Layout.fillWidth: true
        visible: text.length > 0
        text: (box.failed ? "✗ " : "✓ ") + box.checks
        color: box.failed ? box.failureColor : box.passColor
        font.weight: box.failed ? Font.DemiBold : Font.Normal
        wrapMode: Text.Wrap
        Accessible.name: box.side + ": " + box.checks
    }
}
