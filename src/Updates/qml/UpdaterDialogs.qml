import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Window
import VuzevTavi

// The updater's own dialogs, in a window of their own that is shown whenever
// the updater has something to say: up to date, an update found, download
// progress, an error, or the once-asked question about automatic checks.
ApplicationWindow {
    id: dialog
    objectName: "updaterDialog"

    readonly property UpdaterUserDriver driver: SparkleUpdaterController.userDriver
    readonly property int stage: driver.stage

    title: "Software Update"
    width: 520
    height: Math.max(160, content.implicitHeight + 32)
    minimumWidth: 420
    visible: stage !== UpdaterUserDriver.Hidden
    flags: Qt.Dialog

    onClosing: function(close) {
        // Closing the window is the gentlest answer each stage allows.
        if (stage === UpdaterUserDriver.UpdateFound)
            driver.remindMeLater()
        else if (stage === UpdaterUserDriver.Downloading || stage === UpdaterUserDriver.Checking)
            driver.cancel()
        else if (stage === UpdaterUserDriver.AskAutomaticChecks)
            driver.answerAutomaticChecks(false)
        else
            driver.dismiss()
    }

    Pane {
        anchors.fill: parent
        // Escape gives the same answer as closing the window. The pane takes the
        // keys once the window is focused, or once it is clicked without a
        // window manager.
        focus: true
        focusPolicy: Qt.ClickFocus
        Keys.onEscapePressed: dialog.close()

        ColumnLayout {
            id: content
            anchors.fill: parent
            spacing: 10

            Headline {
                objectName: "updaterTitle"
                text: dialog.driver.title
                Layout.fillWidth: true
                Accessible.name: text
            }

            Label {
                objectName: "updaterMessage"
                text: dialog.driver.message
                visible: text.length > 0
                wrapMode: Text.Wrap
                Layout.fillWidth: true
                Accessible.name: text
            }

            ScrollView {
                visible: dialog.stage === UpdaterUserDriver.UpdateFound
                         && dialog.driver.releaseNotes.length > 0
                Layout.fillWidth: true
                Layout.preferredHeight: 180

                TextArea {
                    objectName: "updaterReleaseNotes"
                    readOnly: true
                    textFormat: TextEdit.RichText
                    wrapMode: TextEdit.Wrap
                    text: dialog.driver.releaseNotes
                    Accessible.name: "Release notes"
                }
            }

            Label {
                objectName: "updaterReleaseNotesLink"
                visible: dialog.stage === UpdaterUserDriver.UpdateFound
                         && dialog.driver.releaseNotesLink.length > 0
                text: "<a href=\"" + dialog.driver.releaseNotesLink + "\">Release notes</a>"
                onLinkActivated: function(link) { Qt.openUrlExternally(link) }
                Accessible.name: "Release notes"
            }

            Label {
                objectName: "updaterInstallNote"
                visible: dialog.stage === UpdaterUserDriver.UpdateFound
                         && dialog.driver.installNote.length > 0
                text: dialog.driver.installNote
                wrapMode: Text.Wrap
                Layout.fillWidth: true
                Accessible.name: text
            }

            ProgressBar {
                objectName: "updaterProgress"
                visible: dialog.stage === UpdaterUserDriver.Downloading
                         || dialog.stage === UpdaterUserDriver.Installing
                         || dialog.stage === UpdaterUserDriver.Checking
                indeterminate: dialog.driver.progress < 0
                value: Math.max(0, dialog.driver.progress)
                Layout.fillWidth: true
                Accessible.name: "Progress"
            }

            RowLayout {
                Layout.alignment: Qt.AlignRight
                spacing: 8

                Button {
                    objectName: "updaterSkipButton"
                    text: "Skip This Version"
                    visible: dialog.stage === UpdaterUserDriver.UpdateFound && dialog.driver.canSkip
                    onClicked: dialog.driver.skipThisVersion()
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
                Button {
                    objectName: "updaterLaterButton"
                    text: "Remind Me Later"
                    visible: dialog.stage === UpdaterUserDriver.UpdateFound
                    onClicked: dialog.driver.remindMeLater()
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
                Button {
                    objectName: "updaterInstallButton"
                    text: "Install Update"
                    highlighted: true
                    visible: dialog.stage === UpdaterUserDriver.UpdateFound && dialog.driver.canInstall
                    onClicked: dialog.driver.install()
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
                Button {
                    objectName: "updaterCancelButton"
                    text: "Cancel"
                    visible: dialog.stage === UpdaterUserDriver.Downloading
                             || dialog.stage === UpdaterUserDriver.Checking
                    onClicked: dialog.driver.cancel()
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
                Button {
                    objectName: "updaterDontCheckButton"
                    text: "Don\u2019t Check"
                    visible: dialog.stage === UpdaterUserDriver.AskAutomaticChecks
                    onClicked: dialog.driver.answerAutomaticChecks(false)
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
                Button {
                    objectName: "updaterCheckAutomaticallyButton"
                    text: "Check Automatically"
                    highlighted: true
                    visible: dialog.stage === UpdaterUserDriver.AskAutomaticChecks
                    onClicked: dialog.driver.answerAutomaticChecks(true)
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
                Button {
                    objectName: "updaterRelaunchButton"
                    text: "Relaunch Now"
                    visible: dialog.stage === UpdaterUserDriver.Installed
                    onClicked: dialog.driver.relaunch()
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
                Button {
                    objectName: "updaterOkButton"
                    text: "OK"
                    highlighted: dialog.stage !== UpdaterUserDriver.Installed
                    visible: dialog.stage === UpdaterUserDriver.UpToDate
                             || dialog.stage === UpdaterUserDriver.Failed
                             || dialog.stage === UpdaterUserDriver.Installed
                    onClicked: dialog.driver.dismiss()
                    Accessible.name: text
                    Accessible.onPressAction: clicked()
                }
            }
        }
    }
}
