import QtQuick
import QtQuick.Controls
import QtQuick.Controls.impl
import QtQuick.Layouts

// A menu item with a mnemonic (the letter after "&" in its text) and, when it
// has one, its key shown on the right. A screen reader's press chooses it.
// Qt lets an item's own mnemonic fire only in the focused window, which there is
// none of without a window manager; an application shortcut, live only while the
// menu is open, stands in for it (and takes over when both would answer).
MenuItem {
    id: item

    // Never checked and opening no submenu. Fusion builds a check mark and an
    // arrow image for every item all the same, and reading that first image
    // loads every image-format plugin installed, before the window is drawn.
    indicator: null
    arrow: null

    property string shortcutText
    readonly property string mnemonic: (text.match(/&([^&])/) || ["", ""])[1]

    function choose() {
        item.menu.dismiss()
        item.triggered()
    }

    Accessible.name: text.replace("&", "")
    Accessible.onPressAction: choose()

    Shortcut {
        context: Qt.ApplicationShortcut
        enabled: item.menu !== null && item.menu.opened && item.mnemonic !== ""
        sequences: [item.mnemonic, "Alt+" + item.mnemonic]
        onActivated: item.choose()
        onActivatedAmbiguously: item.choose()
    }

    contentItem: RowLayout {
        readonly property color color: item.highlighted ? item.palette.highlightedText
                                                        : item.palette.text
        spacing: 24
        IconLabel {
            Layout.fillWidth: true
            alignment: Qt.AlignLeft
            text: item.text
            font: item.font
            color: parent.color
        }
        Label {
            objectName: item.objectName + "Shortcut"
            visible: text !== ""
            text: item.shortcutText
            font: item.font
            color: parent.color
            Accessible.ignored: true
        }
    }
}
