import QtQuick
import QtQuick.Layouts

// A titled group of the settings window.
Rectangle {
    id: card

    property string title
    default property alias content: body.data

    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 2 * column.anchors.margins
    radius: 10
    color: Theme.cardBackground
    border.width: 1
    border.color: Theme.cardBorder

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 14
        spacing: 12

        AppText {
            objectName: "cardTitle"
            Layout.fillWidth: true
            text: card.title
            size: Theme.headline
            semibold: true
        }

        ColumnLayout {
            id: body
            Layout.fillWidth: true
            spacing: 10
        }
    }
}
