import QtQuick
import QtQuick.Controls

// A window of the application in the current appearance: our own colours for everything the Basic
// style draws (menus, tool tips, dialogs, scroll bars).
ApplicationWindow {
    color: Theme.windowBackground
    font.pixelSize: Theme.body

    palette.window: Theme.windowBackground
    palette.windowText: Theme.primaryText
    palette.base: Theme.fieldBackground
    palette.alternateBase: Theme.sidebarBackground
    palette.text: Theme.primaryText
    palette.button: Theme.buttonBackground
    palette.buttonText: Theme.primaryText
    palette.brightText: "#FFFFFF"
    palette.highlight: Theme.accent
    palette.highlightedText: "#FFFFFF"
    palette.light: Theme.buttonHover
    palette.midlight: Theme.buttonPressed
    palette.mid: Theme.tertiaryText
    palette.dark: Theme.secondaryText
    palette.shadow: "#000000"
    palette.placeholderText: Theme.tertiaryText
    palette.toolTipBase: Theme.popupBackground
    palette.toolTipText: Theme.primaryText
    palette.link: Theme.accentText
}
