import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A push button of the windows: bordered, or filled with the accent when prominent, red text when
// destructive; an optional leading icon.
Button {
    id: control

    property bool prominent: false
    property bool destructive: false
    property string symbol: ""
    readonly property color textColor: !enabled ? Theme.tertiaryText
                                                : prominent ? "#FFFFFF"
                                                            : destructive ? BrightloomSharePalette.red
                                                                          : Theme.primaryText

    hoverEnabled: true
    font.pixelSize: Theme.body
    implicitHeight: 28
    topPadding: 4
    bottomPadding: 4
    leftPadding: 12
    rightPadding: 12

    contentItem: Item {
        implicitWidth: row.implicitWidth
        implicitHeight: row.implicitHeight
        RowLayout {
            id: row
            anchors.centerIn: parent
            spacing: 6
            AppIcon {
                visible: control.symbol !== ""
                symbol: control.symbol
                size: 14
                color: control.textColor
            }
            AppText {
                text: control.text
                size: control.font.pixelSize
                color: control.textColor
            }
        }
    }

    background: Rectangle {
        implicitWidth: 56
        implicitHeight: 28
        radius: 7
        color: control.prominent ? (control.down ? Qt.darker(Theme.accent, 1.2) : Theme.accent)
                                 : control.down ? Theme.buttonPressed
                                                : control.hovered && control.enabled ? Theme.buttonHover
                                                                                     : Theme.buttonBackground
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Theme.accent : control.prominent ? Qt.darker(Theme.accent, 1.1)
                                                                               : Theme.buttonBorder
        opacity: control.enabled ? 1 : 0.55
    }
}
