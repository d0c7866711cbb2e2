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

    // First, so that the window has the desktop's colours before its content is built.
    FollowDesktopPalette {}

    // The appearance load: once each time the window is shown.
    onVisibleChanged: if (visible) workspace.load()

    VoridIzid {
        id: workspace
        objectName: "workspace"
    }

    ReviewSession {
        id: review
        objectName: "reviewSession"
        workspace: workspace
    }

    // Opens and closes the review panel, from anywhere in the application.
    Shortcut {
        id: reviewShortcut
        context: Qt.ApplicationShortcut
        sequence: "Ctrl+Shift+R"
        onActivated: review.toggle()
    }

    // The window's keys are application-wide: without a window manager the
    // window is never the focused one, and a window's shortcut would never fire.
    // Quit's key is spelled out: the menu shows it, and not every platform theme
    // binds the standard Quit key.
    Shortcut {
        id: quitShortcut
        context: Qt.ApplicationShortcut
        sequence: "Ctrl+Q"
        onActivated: Qt.quit()
    }
    // Closing the one window ends the program.
    Shortcut {
        context: Qt.ApplicationShortcut
        sequences: [StandardKey.Close]
        onActivated: window.close()
    }
    // F10 and the menu's mnemonic open the menu with its first item current,
    // so that the arrows, Return and the items' mnemonics go on from there.
    Shortcut {
        context: Qt.ApplicationShortcut
        sequences: ["F10", "Alt+" + appMenu.title.match(/&(.)/)[1]]
        onActivated: window.openMenu()
        onActivatedAmbiguously: window.openMenu()
    }
    function openMenu() {
        if (!appMenu.opened)
            menuBar.itemAt(0).triggered()
        appMenu.currentIndex = 0
    }

    // Menu items are buttons too: a screen reader's press must trigger them.
    menuBar: MenuBar {
        delegate: MenuBarItem {
            id: menuBarItem
            objectName: "menuBarItem"
            Accessible.name: text.replace("&", "")
            // A screen reader opens the menu as a click would.
            Accessible.onPressAction: menuBarItem.triggered()
        }

        Menu {
            id: appMenu
            objectName: "appMenu"
            title: "&Vuzev Tavi"

            AppMenuItem {
                objectName: "aboutMenuItem"
                text: "&About Vuzev Tavi"
                onTriggered: window.openAbout()
            }
            AppMenuItem {
                objectName: "checkForUpdatesMenuItem"
                text: "&Check for Updates…"
                onTriggered: SparkleUpdaterController.checkForUpdates()
            }
            AppMenuItem {
                objectName: "reviewChangesMenuItem"
                text: "&Review changes"
                shortcutText: reviewShortcut.nativeText
                onTriggered: review.toggle()
            }
            MenuSeparator {}
            AppMenuItem {
                objectName: "quitMenuItem"
                text: "&Quit"
                shortcutText: quitShortcut.nativeText
                onTriggered: Qt.quit()
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

            ActionButton {
                objectName: "reviewChangesButton"
                flat: true
                text: "Review changes"
                highlighted: review.open
                onClicked: review.toggle()
                Accessible.description: "Ctrl+Shift+R"
            }
        }
    }

    ScrollView {
        id: scroll
        objectName: "workspaceScroll"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.bottom: reviewPanel.top
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
                            relativeSize: TypeStyle.caption
                            font.weight: Font.DemiBold
                        }
                        SecondaryText {
                            Layout.fillWidth: true
                            text: "Apple Intelligence drafts and previews on this device. Der Udez OV is the fallback. Publish hot-reloads live Tavi."
                            relativeSize: TypeStyle.subheadline
                        }
                        StyledText {
                            objectName: "availabilityText"
                            Layout.fillWidth: true
                            text: OnDeviceModel.statusText
                            color: OnDeviceModel.available ? window.availableColor : window.secondaryColor
                            relativeSize: TypeStyle.caption
                            Accessible.name: text
                        }
                        StyledText {
                            objectName: "liveBadge"
                            Layout.maximumWidth: parent.width
                            visible: workspace.hasPack
                            text: "Live pack " + workspace.packVersion
                            font.family: "monospace"
                            relativeSize: TypeStyle.caption
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

                        SingleLineField {
                            objectName: "apiBaseField"
                            Layout.fillWidth: true
                            placeholderText: "API base"
                            text: workspace.apiBase
                            onTextEdited: workspace.apiBase = text
                        }
                        SingleLineField {
                            objectName: "operatorTokenField"
                            Layout.fillWidth: true
                            placeholderText: "Operator token"
                            echoMode: TextInput.Password
                            inputMethodHints: Qt.ImhSensitiveData | Qt.ImhNoPredictiveText
                            text: workspace.operatorToken
                            onTextEdited: workspace.operatorToken = text
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
                        SingleLineField {
                            objectName: "ctaField"
                            Layout.fillWidth: true
                            placeholderText: "CTA"
                            text: workspace.cta
                            onTextEdited: workspace.cta = text
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
                        relativeSize: TypeStyle.footnote
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
                        SingleLineField {
                            objectName: "previewMessageField"
                            Layout.fillWidth: true
                            placeholderText: "Traveler message"
                            text: workspace.previewMessage
                            onTextEdited: workspace.previewMessage = text
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
                            relativeSize: TypeStyle.caption
                            Accessible.name: text
                        }
                        // The reply whole, selectable so that it can be copied.
                        TextArea {
                            id: previewReply
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
                            background: Panel { focused: previewReply.activeFocus }
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

    // The review panel: below the two columns, across the whole width, so that
    // the replies under the draft and under live stand side by side; the
    // columns above scroll in what is left. Closed, it takes no room.
    ReviewPanel {
        id: reviewPanel
        objectName: "reviewPanel"
        // The share of the content's height the panel takes; its top edge drags.
        property real share: 0.5

        session: review
        workspace: workspace
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        visible: review.open
        height: visible ? Math.round(parent.height * share) : 0

        MouseArea {
            objectName: "reviewPanelHandle"
            width: parent.width
            height: 6
            y: -3
            cursorShape: Qt.SizeVerCursor
            onPositionChanged: mouse => {
                const top = mapToItem(reviewPanel.parent, 0, mouse.y).y
                const whole = reviewPanel.parent.height
                reviewPanel.share = Math.min(0.8, Math.max(0.25, 1 - top / whole))
            }
        }
    }

    // The About dialog, built (and its types read) the first time it is asked
    // for. The loader owns it, so it goes with the window.
    Loader {
        id: aboutLoader
    }
    function openAbout() {
        if (aboutLoader.status === Loader.Null)
            aboutLoader.setSource("AboutDialog.qml")
        aboutLoader.item.open()
    }
}
