import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The selected share's cards, or the empty state when there is no share.
Rectangle {
    id: pane

    property QtObject store
    readonly property var share: store.selectedShare
    readonly property bool hasShare: share.id !== undefined

    objectName: "detailPane"
    color: Theme.windowBackground

    EmptyState {
        anchors.centerIn: parent
        visible: !pane.hasShare
    }

    Flickable {
        id: scroller
        objectName: "detailScroller"
        anchors.fill: parent
        visible: pane.hasShare
        contentHeight: cards.implicitHeight + 2 * 20
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {
            policy: scroller.contentHeight > scroller.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
        }

        ColumnLayout {
            id: cards
            x: 20
            y: 20
            width: scroller.width - 40
            spacing: 16

            HeaderCard {
                visible: pane.hasShare
                store: pane.store
                share: pane.share
            }
            PublicLinkCard {
                visible: pane.hasShare
                store: pane.store
                share: pane.share
            }
            AccessCard {
                visible: pane.hasShare
                store: pane.store
                share: pane.share
            }
            PasswordCard {
                visible: pane.hasShare
                store: pane.store
                share: pane.share
            }
            AvailabilityCard {
                visible: pane.hasShare
                store: pane.store
                share: pane.share
            }
        }
    }
}
