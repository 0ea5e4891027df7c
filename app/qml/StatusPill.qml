import QtQuick

// A small filled circle in the status colour followed by the status text, on a capsule.
Rectangle {
    id: pill

    property string label
    property color dotColor: Theme.secondaryText

    implicitWidth: row.implicitWidth + 20
    implicitHeight: row.implicitHeight + 12
    radius: height / 2
    color: Theme.pillBackground
    border.width: 1
    border.color: Theme.cardBorder

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 7
        Rectangle {
            objectName: "statusPillDot"
            anchors.verticalCenter: parent.verticalCenter
            width: 8
            height: 8
            radius: 4
            color: pill.dotColor
        }
        AppText {
            objectName: "statusPillLabel"
            anchors.verticalCenter: parent.verticalCenter
            text: pill.label
            size: Theme.subheadline
        }
    }
}
