import QtQuick
import QtQuick.Controls

// A borderless icon button of the toolbar; its help text shows as a tool tip.
ToolButton {
    id: control

    property string symbol
    property string helpText

    hoverEnabled: true
    implicitWidth: 32
    implicitHeight: 30
    padding: 7
    display: AbstractButton.IconOnly
    text: helpText
    Accessible.name: helpText
    ToolTip.text: helpText
    ToolTip.visible: hovered
    ToolTip.delay: 600

    contentItem: Item {
        AppIcon {
            anchors.centerIn: parent
            symbol: control.symbol
            size: 16
            color: control.hovered ? Theme.primaryText : Theme.secondaryText
        }
    }

    background: Rectangle {
        radius: 6
        color: control.down ? Theme.buttonPressed : control.hovered ? Theme.hover : "transparent"
        border.width: control.visualFocus ? 2 : 0
        border.color: Theme.accent
    }
}
