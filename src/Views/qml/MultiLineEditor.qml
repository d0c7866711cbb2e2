import QtQuick
import QtQuick.Controls

// A multi-line plain-text editor on a rounded panel. Tab moves on to the next
// control instead of typing a tab, so the keyboard can leave the editor.
TextArea {
    id: editor

    padding: 6
    wrapMode: TextEdit.Wrap
    textFormat: TextEdit.PlainText
    selectByMouse: true
    background: Panel { focused: editor.activeFocus }

    Keys.onTabPressed: editor.nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason)
    Keys.onBacktabPressed: editor.nextItemInFocusChain(false).forceActiveFocus(Qt.BacktabFocusReason)
}
