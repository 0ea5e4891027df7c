import QtQuick
import QtQuick.Layouts

// The share's name and folder, its local URL and source, and its on/off switch.
SurfaceCard {
    id: card

    property QtObject store
    property var share

    objectName: "headerCard"
    title: share.displayName || ""
    subtitle: share.path || ""

    RowLayout {
        Layout.fillWidth: true
        spacing: 12

        AppIcon {
            objectName: "headerIcon"
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 1
            symbol: "folder"
            size: 20
            color: card.share.isEnabled ? BrightloomSharePalette.green : Theme.secondaryText
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 3
            RowLayout {
                Layout.fillWidth: true
                spacing: 4
                SelectableText {
                    objectName: "headerURL"
                    Layout.fillWidth: true
                    Layout.alignment: Qt.AlignVCenter
                    text: card.share.shareURL || ""
                    monospaced: true
                }
                QRCodeButton {
                    objectName: "headerQRButton"
                    url: card.share.shareURL || ""
                }
            }
            AppText {
                objectName: "headerSourceTitle"
                Layout.fillWidth: true
                text: card.share.sourceTitle || ""
                size: Theme.caption2
                semibold: true
                secondary: true
            }
        }
        RowLayout {
            objectName: "headerPasswordLabel"
            visible: card.share.isPasswordProtected === true
            spacing: 4
            AppIcon {
                symbol: "lock.fill"
                size: 11
                color: Theme.secondaryText
            }
            AppText {
                text: "Password"
                size: Theme.caption
                semibold: true
                secondary: true
            }
        }
        AppSwitch {
            objectName: "sharedSwitch"
            text: "Shared"
            checked: card.share.isEnabled === true
            onToggled: card.store.toggleShare(card.share.id, checked)
        }
    }
}
