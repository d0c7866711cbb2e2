import QtQuick
import QtQuick.Controls
import VuzevTavi

// Text in one of the window's type styles: `relativeSize` (one of TypeStyle's
// sizes) times the size of the window's font, which every text here inherits,
// so a larger desktop font makes every style larger in proportion.
Label {
    property real relativeSize: 1.0

    font.pixelSize: TypeStyle.pixelSize(ApplicationWindow.window ? ApplicationWindow.window.font
                                                                 : Qt.application.font,
                                        relativeSize)
    wrapMode: Text.Wrap
}
