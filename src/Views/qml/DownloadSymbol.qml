import QtQuick

// A circle around a downward arrow, stroked in the given colour: the symbol of
// the update check. Decoration only; the button beside it carries the name.
// Drawn with round-ended rectangles rather than a Shape: the shapes module is
// a plugin, two libraries and a path renderer that the first frame would load
// for these few strokes.
Item {
    id: symbol

    property color color: "black"
    readonly property real stroke: 1.5
    // The head's sides run from the tip at (8, 11.5) up and out by (3.2, 3).
    readonly property real sideLength: Math.sqrt(3.2 * 3.2 + 3 * 3)
    readonly property real sideAngle: Math.atan2(3, 3.2) * 180 / Math.PI

    implicitWidth: 16
    implicitHeight: 16
    Accessible.ignored: true

    // The circle: centred at (8, 8), radius 7 to the middle of the stroke.
    Rectangle {
        x: 1 - symbol.stroke / 2
        y: x
        width: 14 + symbol.stroke
        height: width
        radius: width / 2
        color: "transparent"
        border.width: symbol.stroke
        border.color: symbol.color
    }
    // The stem, from (8, 4) to the tip.
    Rectangle {
        x: 8 - symbol.stroke / 2
        y: 4 - symbol.stroke / 2
        width: symbol.stroke
        height: 7.5 + symbol.stroke
        radius: symbol.stroke / 2
        color: symbol.color
    }
    Rectangle {
        width: symbol.sideLength + symbol.stroke
        height: symbol.stroke
        x: 8 - 1.6 - width / 2
        y: 10 - height / 2
        radius: symbol.stroke / 2
        rotation: symbol.sideAngle
        color: symbol.color
    }
    Rectangle {
        width: symbol.sideLength + symbol.stroke
        height: symbol.stroke
        x: 8 + 1.6 - width / 2
        y: 10 - height / 2
        radius: symbol.stroke / 2
        rotation: -symbol.sideAngle
        color: symbol.color
    }
}
