import QtQuick
import QtQuick.Layouts

// The share's URL slug and folder path; folders added by hand can be removed here.
SurfaceCard {
    id: card

    property QtObject store
    property var share

    objectName: "accessCard"
    title: "Access"

    RowLayout {
        Layout.fillWidth: true
        spacing: 8
        StoreTextField {
            objectName: "slugField"
            Layout.fillWidth: true
            placeholderText: "Pretty URL slug"
            storeText: card.share.urlSlug || ""
            subject: card.share.id || ""
            onCommitted: (text) => card.store.updateSlug(card.share.id, text)
        }
        AppButton {
            objectName: "copyURLButton"
            text: "Copy URL"
            enabled: card.share.isEnabled === true
            onClicked: card.store.copyURL(card.share.id)
        }
    }

    // The first address is in the header card; these are the others (this computer's name, each
    // network address), each with its QR code for a phone on the same network.
    ColumnLayout {
        objectName: "otherAddresses"
        Layout.fillWidth: true
        visible: otherURLs.count > 0
        spacing: 1
        AppText {
            text: "Other addresses"
            size: Theme.caption
            semibold: true
            secondary: true
        }
        Repeater {
            id: otherURLs
            model: (card.share.localURLs || []).slice(1)
            RowLayout {
                Layout.fillWidth: true
                spacing: 4
                SelectableText {
                    objectName: "otherAddress_" + index
                    Layout.fillWidth: true
                    Layout.alignment: Qt.AlignVCenter
                    text: modelData
                    monospaced: true
                }
                QRCodeButton {
                    objectName: "otherAddressQRButton_" + index
                    url: modelData
                }
            }
        }
    }

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 3
        AppText {
            text: "Path"
            size: Theme.caption
            semibold: true
            secondary: true
        }
        SelectableText {
            objectName: "pathText"
            Layout.fillWidth: true
            text: card.share.path || ""
            secondary: true
        }
    }

    AppButton {
        objectName: "removeFolderButton"
        visible: card.share.source === "custom"
        text: "Remove Folder"
        destructive: true
        onClicked: card.store.removeShare(card.share.id)
    }
}
