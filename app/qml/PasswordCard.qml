import QtQuick
import QtQuick.Layouts

// Whether visitors need a password, and the two fields that set or change it. The typed passwords stay
// in this card only, one pair per displayed share.
SurfaceCard {
    id: card

    property QtObject store
    property var share
    readonly property bool isProtected: share.isPasswordProtected === true

    function clearFields() {
        newPassword.text = ""
        confirmPassword.text = ""
    }

    function submit() {
        if (newPassword.text === "" || confirmPassword.text === "")
            return
        if (newPassword.text !== confirmPassword.text) {
            store.errorMessage = "The passwords do not match."
            return
        }
        store.setPassword(share.id, newPassword.text)
        clearFields()
    }

    objectName: "passwordCard"
    title: "Password"

    // Another share gets a fresh, empty pair.
    property string shownShareID: share.id || ""
    onShownShareIDChanged: clearFields()

    RowLayout {
        Layout.fillWidth: true
        spacing: 12
        AppIcon {
            objectName: "passwordStateIcon"
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 1
            symbol: card.isProtected ? "lock.fill" : "lock.open"
            size: 20
            color: card.isProtected ? BrightloomSharePalette.green : Theme.secondaryText
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 3
            AppText {
                objectName: "passwordStateTitle"
                Layout.fillWidth: true
                text: card.isProtected ? "Password required" : "Open link"
                semibold: true
                wrapMode: Text.Wrap
            }
            AppText {
                objectName: "passwordStateDescription"
                Layout.fillWidth: true
                text: card.isProtected ? "Visitors must enter this password before browsing or downloading."
                                       : "Anyone who can reach this local URL can browse this read-only share."
                size: Theme.caption
                secondary: true
                wrapMode: Text.Wrap
            }
        }
    }

    Separator {}

    RowLayout {
        Layout.fillWidth: true
        spacing: 8
        AppTextField {
            id: newPassword
            objectName: "newPasswordField"
            Layout.fillWidth: true
            Layout.preferredWidth: 1
            placeholderText: "New password"
            echoMode: TextInput.Password
            onAccepted: confirmPassword.forceActiveFocus()
        }
        AppTextField {
            id: confirmPassword
            objectName: "confirmPasswordField"
            Layout.fillWidth: true
            Layout.preferredWidth: 1
            placeholderText: "Confirm password"
            echoMode: TextInput.Password
            onAccepted: card.submit()
        }
    }

    RowLayout {
        Layout.fillWidth: true
        spacing: 8
        AppButton {
            objectName: "setPasswordButton"
            text: card.isProtected ? "Change Password" : "Set Password"
            enabled: newPassword.text !== "" && confirmPassword.text !== ""
            onClicked: card.submit()
        }
        AppButton {
            objectName: "removePasswordButton"
            visible: card.isProtected
            text: "Remove Password"
            destructive: true
            onClicked: {
                card.store.removePassword(card.share.id)
                card.clearFields()
            }
        }
        Item { Layout.fillWidth: true }
    }
}
