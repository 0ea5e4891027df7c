import QtQuick
import QtQuick.Controls

// A menu of the windows (context menus and the menu bar's menus).
Menu {
    id: menu

    padding: 4
    font.pixelSize: Theme.body

    background: Rectangle {
        implicitWidth: 200
        radius: 8
        color: Theme.popupBackground
        border.width: 1
        border.color: Theme.cardBorder
    }

    delegate: AppMenuItem {}
}
