import QtQuick
import QtQuick.Layouts

// When the share switches itself off: a date and time typed in, or one of the quick choices counted
// from now. A share past its end stays off until it is switched on again, which clears the end.
SurfaceCard {
    id: card

    property QtObject store
    property var share
    readonly property bool hasEnd: (share.availableUntil || "") !== ""
    readonly property bool hasEnded: share.hasEnded === true

    objectName: "availabilityCard"
    title: "Available until"

    RowLayout {
        Layout.fillWidth: true
        spacing: 12
        AppIcon {
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 1
            symbol: "clock"
            size: 20
            color: card.hasEnd && !card.hasEnded ? BrightloomSharePalette.blue : Theme.secondaryText
        }
        AppText {
            objectName: "availabilityDescription"
            Layout.fillWidth: true
            text: card.hasEnded ? "Ended " + card.share.availableUntilText + ". Switch it on to share it again."
                  : card.hasEnd ? "Switches itself off " + card.share.availableUntilText + "."
                  : "Shared until you switch it off."
            wrapMode: Text.Wrap
        }
    }

    Separator {}

    RowLayout {
        Layout.fillWidth: true
        spacing: 8
        StoreTextField {
            objectName: "availableUntilField"
            Layout.fillWidth: true
            placeholderText: "YYYY-MM-DD HH:MM"
            storeText: card.share.availableUntil || ""
            subject: card.share.id || ""
            onCommitted: (text) => card.store.setAvailableUntilText(card.share.id, text)
        }
        Repeater {
            model: [{ title: "1 Hour", seconds: 3600 }, { title: "1 Day", seconds: 86400 },
                    { title: "1 Week", seconds: 604800 }]
            AppButton {
                objectName: "availableFor_" + modelData.seconds
                text: modelData.title
                onClicked: card.store.setAvailableFor(card.share.id, modelData.seconds)
            }
        }
        AppButton {
            objectName: "clearAvailableUntilButton"
            visible: card.hasEnd
            text: "Clear"
            onClicked: card.store.clearAvailableUntil(card.share.id)
        }
    }
}
