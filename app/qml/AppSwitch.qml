import QtQuick
import QtQuick.Controls

// An on/off switch; green when on. The label is for accessibility only.
Switch {
    id: control

    display: AbstractButton.IconOnly
    padding: 0
    spacing: 0
    implicitWidth: indicator.implicitWidth
    implicitHeight: indicator.implicitHeight
    Accessible.name: text

    indicator: Rectangle {
        implicitWidth: 38
        implicitHeight: 22
        x: control.leftPadding
        y: control.topPadding + (control.availableHeight - height) / 2
        radius: height / 2
        color: control.checked ? BrightloomSharePalette.green : Theme.switchTrackOff
        border.width: control.visualFocus ? 2 : 0
        border.color: Theme.accent

        Rectangle {
            width: 18
            height: 18
            radius: 9
            y: 2
            x: control.checked ? parent.width - width - 2 : 2
            color: "#FFFFFF"
            border.width: 1
            border.color: Qt.rgba(0, 0, 0, 0.12)
            Behavior on x { NumberAnimation { duration: 120 } }
        }
    }
    contentItem: Item {}
}
