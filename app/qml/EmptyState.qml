import QtQuick
import QtQuick.Layouts

// Shown instead of the details while there is no share at all.
ColumnLayout {
    objectName: "emptyState"
    spacing: 10
    width: Math.min(380, parent ? parent.width - 48 : 380)

    AppIcon {
        objectName: "emptyStateIcon"
        Layout.alignment: Qt.AlignHCenter
        Layout.bottomMargin: 6
        symbol: "folder.badge.questionmark"
        size: 52
        color: Theme.secondaryText
    }
    AppText {
        objectName: "emptyStateTitle"
        Layout.fillWidth: true
        horizontalAlignment: Text.AlignHCenter
        text: "No spaces yet"
        size: Theme.title3
        semibold: true
        wrapMode: Text.Wrap
    }
    AppText {
        objectName: "emptyStateDescription"
        Layout.fillWidth: true
        horizontalAlignment: Text.AlignHCenter
        text: "Import brightloom spaces or add another folder to start sharing it read-only."
        secondary: true
        wrapMode: Text.Wrap
    }
}
