import QtQuick
import QtQuick.Controls

Label {
    font.pointSize: Qt.application.font.pointSize * 1.1
    font.weight: Font.DemiBold
}
