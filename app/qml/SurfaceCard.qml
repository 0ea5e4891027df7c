import QtQuick
import QtQuick.Layouts

// The card of the main window: a title, an optional subtitle, then the card's content, leading-aligned
// on a translucent surface with a faint border.
Rectangle {
    id: card

    property string title
    property string subtitle
    default property alias content: body.data

    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 2 * column.anchors.margins
    radius: 12
    color: Theme.cardBackground
    border.width: 1
    border.color: Theme.cardBorder

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 18
        spacing: 14

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 3
            AppText {
                objectName: "cardTitle"
                Layout.fillWidth: true
                text: card.title
                size: Theme.headline
                semibold: true
                wrapMode: Text.Wrap
            }
            AppText {
                objectName: "cardSubtitle"
                Layout.fillWidth: true
                visible: card.subtitle !== ""
                text: card.subtitle
                size: Theme.caption
                secondary: true
                wrapMode: Text.WrapAnywhere
            }
        }

        ColumnLayout {
            id: body
            Layout.fillWidth: true
            spacing: 12
        }
    }
}
