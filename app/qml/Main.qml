import QtQuick

// The application's windows over the one store: the main window and the settings window, both in the
// appearance the store holds ("system" follows the desktop).
QtObject {
    id: root

    required property QtObject shell
    required property QtObject store
    required property QtObject updateController
    required property QtObject folderChooser
    required property QtObject systemColorScheme

    readonly property bool dark: store.appearanceMode === "light" ? false
                                : store.appearanceMode === "system" ? systemColorScheme.prefersDark
                                                                    : true

    property Binding themeBinding: Binding {
        target: Theme
        property: "dark"
        value: root.dark
    }

    property SettingsWindow settingsWindow: SettingsWindow {
        shell: root.shell
        store: root.store
    }

    property MainWindow mainWindow: MainWindow {
        shell: root.shell
        store: root.store
        updateController: root.updateController
        folderChooser: root.folderChooser
        settingsWindow: root.settingsWindow
    }
}
