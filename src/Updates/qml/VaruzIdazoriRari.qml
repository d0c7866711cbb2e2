import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// The updates card: the running version, the updater's two settings and a
// manual check. It keeps no copy of the settings: the switches show what the
// controller reads back after every change.
ColumnLayout {
    id: card

    required property SparkleUpdaterController sparkle

    objectName: "updatesCard"
    spacing: 8
    Accessible.role: Accessible.Grouping
    Accessible.name: "Updates"

    Headline { text: "Updates" }

    SecondaryText {
        objectName: "updatesVersionText"
        Layout.fillWidth: true
        text: "Vuzev Tavi " + card.sparkle.currentVersionLabel
        font.family: "monospace"
        relativeSize: TypeStyle.caption
        Accessible.name: text
    }

    Switch {
        objectName: "autoCheckToggle"
        text: "Check for updates automatically"
        // Fusion pads the switch; the card lines everything up on its left edge.
        leftPadding: 0
        checked: card.sparkle.automaticallyChecksForUpdates
        onToggled: card.sparkle.automaticallyChecksForUpdates = checked
        Accessible.name: text
        // A screen reader's toggle would set `checked` without telling the
        // controller; it goes to the controller instead.
        Accessible.onToggleAction: card.sparkle.automaticallyChecksForUpdates = !checked
        Accessible.onPressAction: card.sparkle.automaticallyChecksForUpdates = !checked
    }

    Switch {
        objectName: "autoDownloadToggle"
        text: "Download updates automatically"
        leftPadding: 0
        checked: card.sparkle.automaticallyDownloadsUpdates
        onToggled: card.sparkle.automaticallyDownloadsUpdates = checked
        Accessible.name: text
        Accessible.onToggleAction: card.sparkle.automaticallyDownloadsUpdates = !checked
        Accessible.onPressAction: card.sparkle.automaticallyDownloadsUpdates = !checked
    }

    ActionButton {
        objectName: "checkForUpdatesCardButton"
        text: "Check for Updates…"
        onClicked: card.sparkle.checkForUpdates()
    }

    SecondaryText {
        objectName: "updatesFeedCaption"
        Layout.fillWidth: true
        text: "Signed Sparkle feed from " + card.sparkle.feedHost + ". Same Developer ID flow as Pellion."
        relativeSize: TypeStyle.caption
        Accessible.name: text
    }

    // Where this copy cannot swap itself (a package install, a build tree), the
    // card says so before the operator asks for a check.
    SecondaryText {
        objectName: "updatesInstallNote"
        Layout.fillWidth: true
        visible: text !== ""
        text: card.sparkle.installNote
        relativeSize: TypeStyle.caption
        Accessible.name: text
    }
}
