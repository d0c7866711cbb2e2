import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import VuzevTavi

// The one window: the workspace's state shown and edited, and the buttons that
// start its operations. Everything below is bound to `workspace`; nothing here
// keeps state of its own.
ApplicationWindow {
    id: window

    // The content never gets smaller than this; the menu bar and the toolbar
    // come on top of it.
    readonly property int contentMinimumWidth: 880
    readonly property int contentMinimumHeight: 640
    readonly property int columnSpacing: 28
    readonly property int pagePadding: 20
    readonly property bool darkPalette: palette.window.hslLightness < 0.5
    // Chosen per palette so that each stays legible on the window behind it.
    readonly property color availableColor: darkPalette ? "#4cc764" : "#1a7433"
    readonly property color secondaryColor: Qt.rgba(palette.windowText.r, palette.windowText.g,
                                                    palette.windowText.b, 0.72)

    title: "Vuzev Tavi"
    width: 1100
    height: 760
    minimumWidth: contentMinimumWidth
    minimumHeight: contentMinimumHeight + menuBar.implicitHeight + header.implicitHeight
    visible: true

    // The appearance load: once each time the window is shown.
    onVisibleChanged: if (visible) workspace.load()

    VoridIzid {
        id: workspace
        objectName: "workspace"
    }

    // Quit on the platform's key. Application-wide: without a window manager the
    // window is never the active one, and a window shortcut would never fire.
    Shortcut {
        context: Qt.ApplicationShortcut
        sequences: [StandardKey.Quit]
        onActivated: Qt.quit()
    }

    // Menu items are buttons too: a screen reader's press must trigger them.
    menuBar: MenuBar {
        delegate: MenuBarItem {
            id: menuBarItem
            objectName: "menuBarItem"
            Accessible.name: text
            // A screen reader opens the menu as a click would.
            Accessible.onPressAction: menuBarItem.triggered()
        }

        Menu {
            title: "Vuzev Tavi"

            PlainMenuItem {
                objectName: "aboutMenuItem"
                text: "About Vuzev Tavi"
                onTriggered: aboutDialog.open()
                Accessible.name: text
                Accessible.onPressAction: { menu.dismiss(); triggered() }
            }
            PlainMenuItem {
                objectName: "checkForUpdatesMenuItem"
                text: "Check for Updates…"
                onTriggered: SparkleUpdaterController.checkForUpdates()
                Accessible.name: text
                Accessible.onPressAction: { menu.dismiss(); triggered() }
            }
            MenuSeparator {}
            PlainMenuItem {
                objectName: "quitMenuItem"
                text: "Quit"
                onTriggered: Qt.quit()
                Accessible.name: text
                Accessible.onPressAction: { menu.dismiss(); triggered() }
            }
        }
    }

    header: ToolBar {
        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 8
            anchors.rightMargin: 8
            spacing: 4

            Item { Layout.fillWidth: true }

            ActionButton {
                id: checkForUpdatesToolbarButton
                objectName: "checkForUpdatesToolbarButton"
                flat: true
                text: "Check for Updates…"
                onClicked: SparkleUpdaterController.checkForUpdates()
                contentItem: Row {
                    spacing: 6
                    DownloadSymbol {
                        anchors.verticalCenter: parent.verticalCenter
                        color: checkForUpdatesToolbarButton.palette.buttonText
                    }
                    Label {
                        anchors.verticalCenter: parent.verticalCenter
                        text: checkForUpdatesToolbarButton.text
                        Accessible.ignored: true
                    }
                }
            }

            ActionButton {
                objectName: "reloadButton"
                flat: true
                text: "Reload pack"
                enabled: !workspace.busy
                onClicked: workspace.load()
            }
        }
    }

    ScrollView {
        id: scroll
        objectName: "workspaceScroll"
        anchors.fill: parent
        contentWidth: availableWidth
        contentHeight: page.implicitHeight

        Item {
            id: page
            width: scroll.availableWidth
            implicitHeight: columns.implicitHeight + 2 * window.pagePadding

            RowLayout {
                id: columns
                x: window.pagePadding
                y: window.pagePadding
                width: parent.width - 2 * window.pagePadding
                spacing: window.columnSpacing

                ColumnLayout {
                    id: leftColumn
                    objectName: "leftColumn"
                    Layout.alignment: Qt.AlignTop
                    Layout.fillWidth: false
                    Layout.minimumWidth: 360
                    Layout.maximumWidth: 480
                    // Half of the row, kept between its bounds; the right column takes the rest.
                    Layout.preferredWidth: Math.max(360, Math.min(480,
                                                   (columns.width - window.columnSpacing) / 2))
                    spacing: 16

                    // Header
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 6

                        SecondaryText {
                            Layout.fillWidth: true
                            text: "ZODE-016 · global voice pack"
                            scale: 0.85
                            font.weight: Font.DemiBold
                        }
                        SecondaryText {
                            Layout.fillWidth: true
                            text: "Apple Intelligence drafts and previews on this device. Der Udez OV is the fallback. Publish hot-reloads live Tavi."
                            scale: 0.95
                        }
                        Label {
                            objectName: "availabilityText"
                            Layout.fillWidth: true
                            text: OnDeviceModel.statusText
                            color: OnDeviceModel.available ? window.availableColor : window.secondaryColor
                            font.pointSize: Qt.application.font.pointSize * 0.85
                            wrapMode: Text.Wrap
                            Accessible.name: text
                        }
                        Label {
                            objectName: "liveBadge"
                            visible: workspace.hasPack
                            text: "Live pack " + workspace.packVersion
                            font.family: "monospace"
                            font.pointSize: Qt.application.font.pointSize * 0.85
                            leftPadding: 8
                            rightPadding: 8
                            topPadding: 4
                            bottomPadding: 4
                            background: Rectangle {
                                radius: height / 2
                                color: Qt.rgba(1.0, 0.584, 0.0, 0.15)
                            }
                            Accessible.name: text
                        }
                    }

                    // Settings
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 8

                        TextField {
                            objectName: "apiBaseField"
                            Layout.fillWidth: true
                            placeholderText: "API base"
                            text: workspace.apiBase
                            onTextEdited: workspace.apiBase = text
                            selectByMouse: true
                            Accessible.name: "API base"
                        }
                        TextField {
                            objectName: "operatorTokenField"
                            Layout.fillWidth: true
                            placeholderText: "Operator token"
                            echoMode: TextInput.Password
                            inputMethodHints: Qt.ImhSensitiveData | Qt.ImhNoPredictiveText
                            text: workspace.operatorToken
                            onTextEdited: workspace.operatorToken = text
                            Accessible.name: "Operator token"
                        }
                    }

                    VaruzIdazoriRari {
                        Layout.fillWidth: true
                        sparkle: SparkleUpdaterController
                    }

                    // Editor: only while a pack is held. Each edit stores the whole
                    // pack with the one field changed (the workspace does the copy).
                    ColumnLayout {
                        objectName: "editor"
                        Layout.fillWidth: true
                        visible: workspace.hasPack
                        spacing: 8

                        Headline { text: "Persona voice" }
                        MultiLineEditor {
                            objectName: "voiceEditor"
                            Layout.fillWidth: true
                            Layout.minimumHeight: 88
                            text: workspace.voice
                            onTextChanged: workspace.voice = text
                            Accessible.name: "Persona voice"
                        }
                        Headline { text: "CTA" }
                        TextField {
                            objectName: "ctaField"
                            Layout.fillWidth: true
                            placeholderText: "CTA"
                            text: workspace.cta
                            onTextEdited: workspace.cta = text
                            selectByMouse: true
                            Accessible.name: "CTA"
                        }
                    }

                    // Publish row
                    RowLayout {
                        ActionButton {
                            objectName: "publishButton"
                            text: "Publish live"
                            enabled: !workspace.busy && workspace.hasPack
                            onClicked: workspace.publish()
                        }
                        ActionButton {
                            objectName: "rollbackButton"
                            text: "Rollback"
                            enabled: !workspace.busy
                            onClicked: workspace.rollback()
                        }
                    }

                    SecondaryText {
                        objectName: "statusText"
                        Layout.fillWidth: true
                        visible: text.length > 0
                        text: workspace.status
                        scale: 0.9
                        Accessible.name: text
                    }
                }

                ColumnLayout {
                    id: rightColumn
                    objectName: "rightColumn"
                    Layout.alignment: Qt.AlignTop
                    Layout.fillWidth: true
                    spacing: 16

                    // Coach card
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 8

                        Headline { text: "Coach prompt" }
                        MultiLineEditor {
                            objectName: "instructionEditor"
                            Layout.fillWidth: true
                            Layout.minimumHeight: 72
                            text: workspace.instruction
                            onTextChanged: workspace.instruction = text
                            Accessible.name: "Coach prompt"
                        }
                        ProminentButton {
                            objectName: "coachButton"
                            text: workspace.busy ? "Working…" : "Rewrite with Apple Intelligence"
                            enabled: !workspace.busy && workspace.hasPack
                            onClicked: workspace.coach()
                        }
                    }

                    // Preview card
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 8

                        Headline { text: "On-device Tavi preview" }
                        TextField {
                            objectName: "previewMessageField"
                            Layout.fillWidth: true
                            placeholderText: "Traveler message"
                            text: workspace.previewMessage
                            onTextEdited: workspace.previewMessage = text
                            selectByMouse: true
                            Accessible.name: "Traveler message"
                        }
                        ActionButton {
                            objectName: "previewButton"
                            text: "Preview Tavi"
                            enabled: !workspace.busy && workspace.hasPack
                            onClicked: workspace.preview()
                        }
                        SecondaryText {
                            objectName: "sourceLabel"
                            Layout.fillWidth: true
                            visible: text.length > 0
                            text: workspace.sourceLabel
                            scale: 0.85
                            Accessible.name: text
                        }
                        // The reply whole, selectable so that it can be copied.
                        TextArea {
                            objectName: "previewReplyText"
                            Layout.fillWidth: true
                            visible: text.length > 0
                            text: workspace.previewReply
                            readOnly: true
                            selectByMouse: true
                            selectByKeyboard: true
                            activeFocusOnTab: true
                            wrapMode: TextEdit.Wrap
                            textFormat: TextEdit.PlainText
                            padding: 16
                            background: Panel {}
                            Accessible.name: text
                        }
                    }
                }
            }
        }
    }

    // Keeps the control that has the keyboard focus in view as Tab moves on.
    onActiveFocusItemChanged: {
        const item = activeFocusItem
        const flickable = scroll.contentItem
        if (!item || !flickable)
            return
        for (let up = item.parent; up !== page; up = up.parent) {
            if (!up)
                return
        }
        const top = item.mapToItem(page, 0, 0).y
        if (top < flickable.contentY)
            flickable.contentY = Math.max(0, top - window.pagePadding)
        else if (top + item.height > flickable.contentY + flickable.height)
            flickable.contentY = Math.min(page.height - flickable.height,
                                          top + item.height - flickable.height + window.pagePadding)
    }

    Dialog {
        id: aboutDialog
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
}
