import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One appearance mode in the settings window: the mode's icon above its title; the selected one shows
// a filled checkmark and an accent border.
Button {
    id: control

    property string mode
    property string title
    property string symbol
    property bool selected: false

    Layout.fillWidth: true
    Layout.preferredWidth: 1
    hoverEnabled: true
    implicitHeight: 62
    padding: 8
    text: title
    font.pixelSize: Theme.subheadline

    contentItem: Item {
        implicitWidth: column.implicitWidth
        implicitHeight: column.implicitHeight
        ColumnLayout {
            id: column
            anchors.centerIn: parent
            width: parent.width
            spacing: 6
            AppIcon {
                objectName: "appearanceIcon"
                Layout.alignment: Qt.AlignHCenter
                symbol: control.selected ? "checkmark.circle.fill" : control.symbol
                size: 20
                color: control.selected ? Theme.accentText : Theme.secondaryText
            }
            AppText {
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                text: control.text
                size: control.font.pixelSize
                semibold: control.selected
                elide: Text.ElideRight
            }
        }
    }

    background: Rectangle {
        radius: 8
        color: control.down ? Theme.buttonPressed
                            : control.selected ? Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.14)
                                               : control.hovered ? Theme.buttonHover : Theme.buttonBackground
        border.width: control.selected || control.visualFocus ? 2 : 1
        border.color: control.selected || control.visualFocus ? Theme.accent : Theme.buttonBorder
    }
}
