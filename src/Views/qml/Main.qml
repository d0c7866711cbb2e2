import QtQuick
import QtQuick.Controls
import VuzevTavi

ApplicationWindow {
    id: window
    title: "Vuzev Tavi"
    width: 1100
    height: 760
    minimumWidth: 880
    minimumHeight: 640
    visible: true

    VoridIzid { id: workspace }

    Label {
        objectName: "statusText"
        text: workspace.status
        Accessible.name: text
    }

    Component.onCompleted: workspace.load()
}
