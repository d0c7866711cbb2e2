import QtQuick
import VuzevTavi

StyledText {
    relativeSize: TypeStyle.headline
    font.weight: Font.DemiBold
}
