import QtQuick
import QtQuick.Controls

// A single-line text field of the windows.
TextField {
    id: control

    property bool monospaced: false

    font.pixelSize: monospaced ? Theme.subheadline : Theme.body
    font.family: monospaced ? Theme.monospace : Qt.application.font.family
    color: Theme.primaryText
    placeholderTextColor: Theme.tertiaryText
    selectionColor: Theme.selection
    selectedTextColor: Theme.primaryText
    selectByMouse: true
    implicitHeight: 28
    leftPadding: 8
    rightPadding: 8
    topPadding: 4
    bottomPadding: 4
    verticalAlignment: TextInput.AlignVCenter

    background: Rectangle {
        implicitWidth: 120
        implicitHeight: 28
        radius: 6
        color: Theme.fieldBackground
        border.width: control.activeFocus ? 2 : 1
        border.color: control.activeFocus ? Theme.accent : Theme.fieldBorder
    }
}
