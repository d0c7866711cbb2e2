import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// The review panel: what the draft changes against live, the test set, and its
// run under the draft and under live. Shows what `session` holds and calls it;
// the workspace is only read (for the enabled states of its buttons).
Pane {
    id: panel

    required property ReviewSession session
    required property VoridIzid workspace
    readonly property bool darkPalette: palette.window.hslLightness < 0.5
    readonly property color failureColor: darkPalette ? "#ff8a80" : "#b71c1c"
    readonly property color passColor: darkPalette ? "#4cc764" : "#1a7433"

    padding: 12
    background: Rectangle {
        color: panel.palette.window
        Rectangle {
            width: parent.width
            height: 1
            color: Qt.rgba(panel.palette.windowText.r, panel.palette.windowText.g,
                           panel.palette.windowText.b, 0.2)
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            Headline { text: "Review changes" }
            SecondaryText {
                objectName: "reviewChangesText"
                Layout.fillWidth: true
                text: panel.session.changesText
                elide: Text.ElideRight
                wrapMode: Text.NoWrap
                Accessible.name: text
            }
            ActionButton {
                objectName: "checkLiveButton"
                text: panel.session.checkingLive ? "Checking live…" : "Check live"
                enabled: !panel.session.checkingLive
                onClicked: panel.session.checkLive()
            }
            ActionButton {
                objectName: "copyChangesButton"
                text: "Copy changes"
                enabled: panel.workspace.hasPack
                onClicked: panel.session.copyChanges()
            }
            ActionButton {
                objectName: "copyResultsButton"
                text: "Copy results"
                enabled: panel.session.messagesTotal > 0
                onClicked: panel.session.copyResults()
            }
            ActionButton {
                objectName: "closeReviewButton"
                text: "Close"
                Accessible.name: "Close the review panel"
                onClicked: panel.session.open = false
            }
        }

        SecondaryText {
            objectName: "reviewLiveText"
            Layout.fillWidth: true
            visible: text.length > 0
            text: panel.session.liveText
            font.weight: Font.DemiBold
            Accessible.name: text
        }
        SecondaryText {
            objectName: "reviewCopyText"
            Layout.fillWidth: true
            visible: text.length > 0
            text: panel.session.copyText
            Accessible.name: text
        }

        TabBar {
            id: tabs
            objectName: "reviewTabs"
            Layout.fillWidth: true

            ReviewTab { objectName: "changesTab"; text: "Changes" }
            ReviewTab { objectName: "testSetTab"; text: "Test set" }
            ReviewTab { objectName: "resultsTab"; text: "Results" }
        }

        // Run, progress and the summary, for the set and its results alike.
        RowLayout {
            Layout.fillWidth: true
            visible: tabs.currentIndex > 0
            spacing: 8

            ActionButton {
                objectName: "runButton"
                text: "Run"
                enabled: panel.session.canRun
                onClicked: {
                    panel.session.run()
                    tabs.currentIndex = 2
                }
            }
            ActionButton {
                objectName: "cancelRunButton"
                text: "Cancel"
                enabled: panel.session.running
                onClicked: panel.session.cancel()
            }
            // Drawn here rather than Fusion's ProgressBar, whose texture Qt 6.4
            // never frees.
            Rectangle {
                objectName: "runProgress"
                Layout.preferredWidth: 140
                Layout.preferredHeight: 8
                visible: panel.session.messagesTotal > 0
                radius: 4
                color: Qt.rgba(panel.palette.windowText.r, panel.palette.windowText.g,
                               panel.palette.windowText.b, 0.15)
                Accessible.role: Accessible.ProgressBar
                Accessible.name: panel.session.progressText

                Rectangle {
                    width: parent.width * panel.session.messagesDone
                           / Math.max(1, panel.session.messagesTotal)
                    height: parent.height
                    radius: parent.radius
                    color: panel.palette.highlight
                }
            }
            SecondaryText {
                objectName: "runProgressText"
                visible: text.length > 0
                text: panel.session.progressText
                Accessible.name: text
            }
            SecondaryText {
                objectName: "runSummaryText"
                Layout.fillWidth: true
                visible: text.length > 0
                text: panel.session.summaryText
                Accessible.name: text
            }
        }

        StackLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            currentIndex: tabs.currentIndex

            ReviewChangesList {
                session: panel.session
            }
            ReviewTestSetEditor {
                session: panel.session
            }
            ReviewResultsList {
                session: panel.session
                failureColor: panel.failureColor
                passColor: panel.passColor
            }
        }
    }
}
