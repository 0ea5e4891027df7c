import QtQuick
import QtQuick.Layouts

// An entry of the settings rail: icon and title, tinted with the accent when selected. A label, not a
// control: there is one section.
Rectangle {
    id: entry

    property string title
    property string systemImage
    property bool isSelected: false

    Layout.fillWidth: true
    implicitHeight: 32
    radius: 7
    color: isSelected ? Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.18) : "transparent"

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 10
        anchors.rightMargin: 10
        spacing: 8
        AppIcon {
            objectName: "railIcon"
            symbol: entry.systemImage
            size: 15
            color: entry.isSelected ? Theme.accentText : Theme.secondaryText
        }
        AppText {
            objectName: "railTitle"
            Layout.fillWidth: true
            text: entry.title
            semibold: entry.isSelected
            elide: Text.ElideRight
        }
    }
}
