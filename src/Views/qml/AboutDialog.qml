import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// The program's name and version. Its window creates it the first time it is
// asked for, so that the first frame does not wait for it.
Dialog {
    objectName: "aboutDialog"
    title: "About Vuzev Tavi"
    modal: true
    anchors.centerIn: Overlay.overlay
    // Our own button rather than a standard one, so that a screen reader can press it.
    footer: DialogButtonBox {
        ActionButton {
            objectName: "aboutOkButton"
            text: "OK"
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
        }
    }

    ColumnLayout {
        spacing: 6
        Headline {
            text: "Vuzev Tavi"
            Accessible.name: text
        }
        SecondaryText {
            objectName: "aboutVersionText"
            text: "Version " + SparkleUpdaterController.currentVersionLabel
            font.family: "monospace"
            Accessible.name: text
        }
    }
}
