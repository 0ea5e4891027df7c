import QtQuick
import QtQuick.Layouts

// A hairline between groups; vertical between columns.
Rectangle {
    property bool vertical: false

    color: Theme.separator
    implicitWidth: vertical ? 1 : 40
    implicitHeight: vertical ? 40 : 1
    Layout.fillWidth: !vertical
    Layout.fillHeight: vertical
}
