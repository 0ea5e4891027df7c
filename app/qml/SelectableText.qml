import QtQuick

// Read-only text the user can select and copy (URLs, paths); long values wrap instead of being cut.
TextEdit {
    property int size: Theme.caption
    property bool secondary: false
    property bool monospaced: false

    readOnly: true
    selectByMouse: true
    activeFocusOnPress: true
    textFormat: TextEdit.PlainText
    wrapMode: TextEdit.WrapAnywhere
    color: secondary ? Theme.secondaryText : Theme.primaryText
    selectionColor: Theme.selection
    selectedTextColor: Theme.primaryText
    font.pixelSize: size
    font.family: monospaced ? Theme.monospace : Qt.application.font.family
}
