import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One share in the sidebar: folder icon (green when on), name, "/slug" or "Off", a lock when it has a
// password; a click selects it, a right click opens its context menu.
Item {
    id: row

    // The row's data: the list model's item (id, displayName, urlSlug, isEnabled, …).
    property var share
    property QtObject store
    property bool removable: false
    readonly property bool selected: store.selectedShare.id === share.id

    function select() {
        // Ends an edit in the detail pane first, so a half-typed value is not shown for another share.
        row.forceActiveFocus()
        store.selectedShareID = share.id
    }

    objectName: "shareRow_" + share.urlSlug
    Layout.fillWidth: true
    implicitHeight: 46
    activeFocusOnTab: true
    Accessible.role: Accessible.ListItem
    Accessible.name: share.displayName

    Keys.onSpacePressed: select()
    Keys.onMenuPressed: contextMenu.popup(row, 24, row.height / 2)

    Rectangle {
        anchors.fill: parent
        anchors.leftMargin: 8
        anchors.rightMargin: 8
        anchors.topMargin: 1
        anchors.bottomMargin: 1
        radius: 6
        color: row.selected ? Theme.selection : mouse.containsMouse ? Theme.hover : "transparent"
        border.width: row.activeFocus ? 2 : 0
        border.color: Theme.accent
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 18
        anchors.rightMargin: 18
        spacing: 10

        AppIcon {
            objectName: "shareRowIcon"
            symbol: "folder"
            size: 18
            color: row.share.isEnabled ? BrightloomSharePalette.green : Theme.secondaryText
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            AppText {
                objectName: "shareRowName"
                Layout.fillWidth: true
                text: row.share.displayName
                size: Theme.subheadline
                semibold: true
                elide: Text.ElideRight
                maximumLineCount: 1
            }
            AppText {
                objectName: "shareRowDetail"
                Layout.fillWidth: true
                text: row.share.isEnabled ? "/" + row.share.urlSlug : "Off"
                size: Theme.caption
                secondary: true
                elide: Text.ElideRight
                maximumLineCount: 1
            }
        }
        AppIcon {
            objectName: "shareRowLock"
            visible: row.share.isPasswordProtected
            symbol: "lock.fill"
            size: 12
            color: Theme.secondaryText
        }
    }

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onClicked: (event) => {
            // Opened where the row was clicked (the mouse area fills the row).
            if (event.button === Qt.RightButton)
                contextMenu.popup(event.x, event.y)
            else
                row.select()
        }
    }

    AppMenu {
        id: contextMenu
        objectName: "shareContextMenu"

        AppMenuItem {
            objectName: "menuCopyURL"
            text: "Copy URL"
            onTriggered: row.store.copyURL(row.share.id)
        }
        AppMenuItem {
            objectName: "menuCopyPublicURL"
            visible: row.share.publicShareURL !== ""
            text: "Copy Public URL"
            onTriggered: row.store.copyPublicURL(row.share.id)
        }
        AppMenuItem {
            objectName: "menuToggle"
            text: row.share.isEnabled ? "Turn Off" : "Turn On"
            onTriggered: row.store.toggleShare(row.share.id, !row.share.isEnabled)
        }
        AppMenuItem {
            objectName: "menuRemovePassword"
            visible: row.share.isPasswordProtected
            text: "Remove Password"
            onTriggered: row.store.removePassword(row.share.id)
        }
        MenuSeparator {
            objectName: "menuRemoveSeparator"
            visible: row.removable
            height: visible ? implicitHeight : 0
            contentItem: Rectangle { implicitHeight: 1; color: Theme.separator }
        }
        AppMenuItem {
            objectName: "menuRemove"
            visible: row.removable
            text: "Remove"
            destructive: true
            onTriggered: row.store.removeShare(row.share.id)
        }
    }
}
