import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts

// The list of shares beside the details of the selected one.
ThemedWindow {
    id: window

    property QtObject shell
    property QtObject store
    property QtObject updateController
    property QtObject folderChooser
    property Window settingsWindow

    function openSettings() {
        settingsWindow.show()
        settingsWindow.raise()
        settingsWindow.requestActivate()
    }

    function showActivity() {
        activityDialog.open()
    }

    function showAbout() {
        aboutDialog.open()
        shell.activateMainWindow()
    }

    // The settings window lives only beside the main window: closing the main window ends the application.
    onClosing: settingsWindow.close()

    // Qt's own folder dialog draws its path bar on a fixed white background; give it the field colour so
    // the path stays readable in dark mode.
    function tintPathBar(item) {
        for (let index = 0; index < item.children.length; ++index) {
            const child = item.children[index]
            if (String(child).startsWith("FolderBreadcrumbBar") && child.background)
                child.background.color = Qt.binding(() => Theme.fieldBackground)
            else
                tintPathBar(child)
        }
    }

    objectName: "mainWindow"
    title: "brightloom Share"
    visible: false
    width: 1080
    height: 720
    // The content below the toolbar is at least 860 by 580.
    minimumWidth: 860
    minimumHeight: 580 + (header ? header.implicitHeight : 0)

    // One bar for the menus and the toolbar's buttons.
    header: ToolBar {
        objectName: "toolbar"
        implicitHeight: 40
        leftPadding: 6
        rightPadding: 10
        background: Rectangle {
            color: Theme.toolbarBackground
            Separator {
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
            }
        }
        RowLayout {
            anchors.fill: parent
            spacing: 4
            AppMenuBar {
                Layout.alignment: Qt.AlignVCenter
                store: window.store
                shell: window.shell
                updateController: window.updateController
                onAboutRequested: window.showAbout()
                onSettingsRequested: window.openSettings()
            }
            Item { Layout.fillWidth: true }
            ToolbarButton {
                objectName: "refreshSpacesButton"
                symbol: "arrow.clockwise"
                helpText: "Refresh Spaces"
                onClicked: window.store.refreshImportedFolders()
            }
            ToolbarButton {
                objectName: "activityButton"
                symbol: "clock"
                helpText: "Activity"
                onClicked: window.showActivity()
            }
            ToolbarButton {
                objectName: "settingsButton"
                symbol: "gearshape"
                helpText: "Settings"
                onClicked: window.openSettings()
            }
        }
    }

    SplitView {
        objectName: "splitView"
        anchors.fill: parent
        orientation: Qt.Horizontal
        handle: Rectangle {
            implicitWidth: 1
            color: Theme.separator
        }

        Sidebar {
            store: window.store
            SplitView.minimumWidth: 236
            SplitView.preferredWidth: 274
            SplitView.maximumWidth: 420
        }

        DetailPane {
            store: window.store
            SplitView.fillWidth: true
            SplitView.minimumWidth: 520
        }
    }

    // A visitor reached this computer by a name the server does not answer; on a network with names of
    // its own the user may want it answered, so the notice offers to add it.
    Rectangle {
        id: hostNameNotice
        objectName: "hostNameNotice"
        readonly property string name: window.store.server.refusedHostName
        visible: name !== ""
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 16
        width: Math.min(parent.width - 32, noticeRow.implicitWidth + 28)
        height: noticeRow.implicitHeight + 20
        radius: 10
        color: Theme.popupBackground
        border.color: Theme.cardBorder

        RowLayout {
            id: noticeRow
            anchors.fill: parent
            anchors.margins: 10
            anchors.leftMargin: 14
            spacing: 10
            AppText {
                objectName: "hostNameNoticeText"
                Layout.fillWidth: true
                text: "A visitor used the name " + hostNameNotice.name + " to reach this computer"
                elide: Text.ElideMiddle
            }
            AppButton {
                objectName: "allowHostNameButton"
                text: "Answer This Name"
                prominent: true
                onClicked: window.store.server.allowHostName(hostNameNotice.name)
            }
            AppButton {
                objectName: "dismissHostNameButton"
                text: "Ignore"
                onClicked: window.store.server.dismissRefusedHostName()
            }
        }
    }

    ErrorAlert {
        store: window.store
        shell: window.shell
    }

    ActivityDialog {
        id: activityDialog
        store: window.store
    }

    AboutDialog {
        id: aboutDialog
        shell: window.shell
    }

    FolderDialog {
        id: folderDialog
        objectName: "folderDialog"
        title: "Add Folder"
        acceptLabel: "Add Folder"
        currentFolder: window.shell.homeFolder
        onAccepted: window.folderChooser.finish(selectedFolder)
        onRejected: window.folderChooser.cancel()
    }

    Connections {
        target: window.folderChooser
        function onChooseRequested() {
            folderDialog.open()
            Qt.callLater(window.tintPathBar, window.contentItem.Overlay.overlay)
        }
    }
}
