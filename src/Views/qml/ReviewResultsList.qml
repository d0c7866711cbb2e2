import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// The run, one row a message: the message, the reply under the draft and the
// reply under live side by side, each with its source and what its checks found.
ColumnLayout {
    id: results

    required property ReviewSession session
    property color failureColor
    property color passColor

    spacing: 6

    SecondaryText {
        objectName: "resultsOutdatedText"
        Layout.fillWidth: true
        visible: text.length > 0
        text: results.session.resultsText
        font.weight: Font.DemiBold
        Accessible.name: text
    }

    // Column heads, over the three columns of the rows below.
    RowLayout {
        Layout.fillWidth: true
        Layout.rightMargin: 16
        spacing: 12
        visible: resultsList.count > 0
        Repeater {
            model: ["Message", "Under the draft", "Under live"]
            Label {
                required property string modelData
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                text: modelData
                font.weight: Font.DemiBold
                Accessible.name: text
            }
        }
    }

    ListView {
        id: resultsList
        objectName: "resultsList"
        Layout.fillWidth: true
        Layout.fillHeight: true
        clip: true
        spacing: 10
        reuseItems: true
        model: results.session.results
        activeFocusOnTab: true
        keyNavigationEnabled: true
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}
        Accessible.role: Accessible.List
        Accessible.name: "Results"

        delegate: ColumnLayout {
            id: row

            required property int index
            required property string message
            required property string draftText
            required property string draftSource
            required property string draftChecks
            required property bool draftFailed
            required property string liveText
            required property string liveSource
            required property string liveChecks
            required property bool liveFailed
            required property bool longReply
            required property bool expanded

            width: ListView.view.width - 16
            spacing: 4

            RowLayout {
                Layout.fillWidth: true
                spacing: 12

                Label {
                    objectName: "resultMessage"
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    Layout.alignment: Qt.AlignTop
                    text: row.message
                    wrapMode: Text.Wrap
                    Accessible.name: text
                }
                ReviewReply {
                    objectName: "draftReply"
                    side: "Draft"
                    reply: row.draftText
                    source: row.draftSource
                    checks: row.draftChecks
                    failed: row.draftFailed
                    failureColor: results.failureColor
                    passColor: results.passColor
                }
                ReviewReply {
                    objectName: "liveReply"
                    side: "Live"
                    reply: row.liveText
                    source: row.liveSource
                    checks: row.liveChecks
                    failed: row.liveFailed
                    failureColor: results.failureColor
                    passColor: results.passColor
                }
            }
            // Built only for rows that need it: most rows have short replies.
            Loader {
                active: row.longReply
                visible: active
                sourceComponent: ActionButton {
                    objectName: "showWholeRepliesButton"
                    flat: true
                    text: row.expanded ? "Show less" : "Show whole replies"
                    onClicked: results.session.setExpanded(row.index, !row.expanded)
                }
            }
        }
    }
}
