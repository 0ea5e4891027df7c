import QtQuick
import QtQuick.Controls

// The application menu (about, updates, settings, quit) and the view menu with the appearance modes.
MenuBar {
    id: bar

    property QtObject store
    property QtObject shell
    property QtObject updateController
    signal aboutRequested()
    signal settingsRequested()

    objectName: "menuBar"
    font.pixelSize: Theme.body

    background: Item {
        implicitHeight: 28
    }

    delegate: MenuBarItem {
        id: barItem
        implicitHeight: 28
        leftPadding: 10
        rightPadding: 10
        font.pixelSize: Theme.body
        contentItem: AppText {
            text: barItem.text
            semibold: barItem.menu && barItem.menu.objectName === "appMenu"
            verticalAlignment: Text.AlignVCenter
        }
        background: Rectangle {
            radius: 5
            color: barItem.highlighted ? Theme.selection : "transparent"
        }
    }

    // The application's commands answer in either window.
    Shortcut {
        sequence: "Ctrl+,"
        context: Qt.ApplicationShortcut
        onActivated: bar.settingsRequested()
    }
    Shortcut {
        sequences: [StandardKey.Quit]
        context: Qt.ApplicationShortcut
        onActivated: bar.shell.quit()
    }

    AppMenu {
        objectName: "appMenu"
        title: "brightloom Share"
        AppMenuItem {
            objectName: "aboutMenuItem"
            text: "About brightloom Share"
            onTriggered: bar.aboutRequested()
        }
        AppMenuItem {
            objectName: "checkForUpdatesMenuItem"
            text: "Check for Updates\u2026"
            enabled: bar.updateController.canCheckForUpdates
            onTriggered: bar.updateController.checkForUpdates()
        }
        MenuSeparator {
            contentItem: Rectangle { implicitHeight: 1; color: Theme.separator }
        }
        AppMenuItem {
            objectName: "settingsMenuItem"
            text: "Settings\u2026"
            onTriggered: bar.settingsRequested()
        }
        MenuSeparator {
            contentItem: Rectangle { implicitHeight: 1; color: Theme.separator }
        }
        AppMenuItem {
            objectName: "quitMenuItem"
            text: "Quit brightloom Share"
            onTriggered: bar.shell.quit()
        }
    }

    AppMenu {
        objectName: "viewMenu"
        title: "View"
        AppMenuItem {
            readonly property var modeInfo: bar.shell.appearanceModes[0]
            objectName: "darkModeMenuItem"
            text: modeInfo.title
            symbol: bar.store.appearanceMode && bar.store.isAppearanceModeSelected(modeInfo.mode) ? "checkmark" : modeInfo.icon
            onTriggered: bar.store.setAppearanceMode(modeInfo.mode)
        }
        AppMenuItem {
            readonly property var modeInfo: bar.shell.appearanceModes[1]
            objectName: "lightModeMenuItem"
            text: modeInfo.title
            symbol: bar.store.appearanceMode && bar.store.isAppearanceModeSelected(modeInfo.mode) ? "checkmark" : modeInfo.icon
            onTriggered: bar.store.setAppearanceMode(modeInfo.mode)
        }
        AppMenuItem {
            readonly property var modeInfo: bar.shell.appearanceModes[2]
            objectName: "systemModeMenuItem"
            text: modeInfo.title
            symbol: bar.store.appearanceMode && bar.store.isAppearanceModeSelected(modeInfo.mode) ? "checkmark" : modeInfo.icon
            onTriggered: bar.store.setAppearanceMode(modeInfo.mode)
        }
    }
}
