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
            onEdited: (text) => card.store.updateSlug(card.share.id, text)
        }
        AppButton {
            objectName: "copyURLButton"
            text: "Copy URL"
            enabled: card.share.isEnabled === true
            onClicked: card.store.copyURL(card.share.id)
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
