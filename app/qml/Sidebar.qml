import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The shares by source: Syncthing spaces (only when there are any), then the folders added by hand with
// the "Add Folder" button; the store's latest status line at the foot.
Rectangle {
    id: sidebar

    property QtObject store

    objectName: "sidebar"
    color: Theme.sidebarBackground

    component SectionHeader: AppText {
        Layout.fillWidth: true
        Layout.leftMargin: 18
        Layout.topMargin: 14
        Layout.bottomMargin: 4
        size: Theme.caption
        semibold: true
        secondary: true
        elide: Text.ElideRight
    }

    Flickable {
        id: list
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: footer.top
        contentHeight: sections.implicitHeight + 16
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {
            policy: list.contentHeight > list.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
        }

        ColumnLayout {
            id: sections
            width: list.width
            spacing: 0

            SectionHeader {
                objectName: "spacesSectionHeader"
                visible: spaces.count > 0
                text: "brightloom Spaces"
            }
            // Rows follow the list models one by one: a change to one share touches only its row.
            Repeater {
                id: spaces
                model: sidebar.store.importedShares
                ShareRow {
                    share: model
                    store: sidebar.store
                    removable: false
                }
            }

            SectionHeader {
                objectName: "extraFoldersSectionHeader"
                text: "Extra Folders"
            }
            Repeater {
                model: sidebar.store.customShares
                ShareRow {
                    share: model
                    store: sidebar.store
                    removable: true
                }
            }

            ItemDelegate {
                id: addFolder
                objectName: "addFolderButton"
                Layout.fillWidth: true
                Layout.leftMargin: 8
                Layout.rightMargin: 8
                Layout.topMargin: 2
                implicitHeight: 34
                leftPadding: 10
                hoverEnabled: true
                text: "Add Folder"
                onClicked: sidebar.store.addCustomFolder()
                contentItem: RowLayout {
                    spacing: 10
                    AppIcon {
                        symbol: "folder.badge.plus"
                        size: 18
                        color: Theme.accentText
                    }
                    AppText {
                        Layout.fillWidth: true
                        text: addFolder.text
                        size: Theme.subheadline
                        semibold: true
                        color: Theme.accentText
                        elide: Text.ElideRight
                    }
                }
                background: Rectangle {
                    radius: 6
                    color: addFolder.down ? Theme.selection : addFolder.hovered ? Theme.hover : "transparent"
                    border.width: addFolder.visualFocus ? 2 : 0
                    border.color: Theme.accent
                }
            }
        }
    }

    Rectangle {
        id: footer
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        height: status.text !== "" ? status.implicitHeight + 20 : 0
        visible: status.text !== ""
        color: "transparent"
        Separator {
            anchors.top: parent.top
            anchors.left: parent.left
            anchors.right: parent.right
        }
        AppText {
            id: status
            objectName: "statusLine"
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            anchors.leftMargin: 18
            anchors.rightMargin: 14
            text: sidebar.store.statusMessage
            size: Theme.caption
            secondary: true
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            maximumLineCount: 3
            elide: Text.ElideRight
        }
    }
}
