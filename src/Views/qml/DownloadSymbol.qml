import QtQuick
import QtQuick.Shapes

// A circle around a downward arrow, stroked in the given colour: the symbol of
// the update check. Decoration only; the button beside it carries the name.
Shape {
    id: symbol

    property color color: "black"

    implicitWidth: 16
    implicitHeight: 16
    Accessible.ignored: true

    ShapePath {
        strokeColor: symbol.color
        strokeWidth: 1.5
        fillColor: "transparent"
        PathAngleArc {
            centerX: 8
            centerY: 8
            radiusX: 7
            radiusY: 7
            startAngle: 0
            sweepAngle: 360
        }
    }
    ShapePath {
        strokeColor: symbol.color
        strokeWidth: 1.5
        fillColor: "transparent"
        capStyle: ShapePath.RoundCap
        joinStyle: ShapePath.RoundJoin
        startX: 8
        startY: 4
        PathLine { x: 8; y: 11.5 }
        PathMove { x: 4.8; y: 8.5 }
        PathLine { x: 8; y: 11.5 }
        PathLine { x: 11.2; y: 8.5 }
    }
}
