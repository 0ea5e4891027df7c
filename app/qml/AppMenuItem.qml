import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// An item of AppMenu. Hidden items take no room, so conditional items leave no gap.
MenuItem {
    id: item

    property bool destructive: false
    property string symbol: ""
    readonly property color textColor: !enabled ? Theme.tertiaryText
                                                : highlighted ? "#FFFFFF"
                                                              : destructive ? BrightloomSharePalette.red
                                                                            : Theme.primaryText

    height: visible ? implicitHeight : 0
    implicitHeight: 28
    leftPadding: 12
    rightPadding: 16
    font.pixelSize: Theme.body

    contentItem: RowLayout {
        spacing: 8
        AppIcon {
            visible: item.symbol !== ""
            symbol: item.symbol
            size: 14
            color: item.textColor
        }
        AppText {
            Layout.fillWidth: true
            text: item.text
            size: item.font.pixelSize
            color: item.textColor
            elide: Text.ElideRight
        }
    }

    background: Item {
        implicitWidth: 200
        implicitHeight: 28
        Rectangle {
            anchors.fill: parent
            radius: 5
            color: item.highlighted ? Theme.accent : "transparent"
        }
    }
}
