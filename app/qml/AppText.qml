import QtQuick

// Plain text in one of the windows' type styles. Names come from disk and are never read as markup.
Text {
    property int size: Theme.body
    property bool secondary: false
    property bool semibold: false
    property bool monospaced: false

    color: secondary ? Theme.secondaryText : Theme.primaryText
    textFormat: Text.PlainText
    font.pixelSize: size
    font.weight: semibold ? Font.DemiBold : Font.Normal
    font.family: monospaced ? Theme.monospace : Qt.application.font.family
}
