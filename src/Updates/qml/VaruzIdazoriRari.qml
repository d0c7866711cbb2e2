import QtQuick
import QtQuick.Controls
import VuzevTavi

Column {
    id: card
    objectName: "updatesCard"
    required property SparkleUpdaterController sparkle
}
