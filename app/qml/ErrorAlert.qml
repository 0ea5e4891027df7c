import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QuarryDesktop.Graphics

// Shows the store's error message, titled with the application's name, with a single "OK"; closing it
// (also with Escape) clears the message.
Dialog {
    id: alert

    property QtObject store
    property QtObject shell
    // The text on screen: kept while the alert fades out after the store's message was cleared.
    property string message

    function showStoreMessage() {
        if (!store || store.errorMessage === "")
            return
        message = store.errorMessage
        if (opened)
            return
        open()
        // The alert belongs to the main window; an error from the settings window must not hide behind it.
        if (shell)
            shell.activateMainWindow()
    }

    objectName: "errorAlert"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 340
    modal: true
    closePolicy: Popup.CloseOnEscape
    padding: 22
    topPadding: 24

    background: Rectangle {
        radius: 12
        color: Theme.popupBackground
        border.width: 1
        border.color: Theme.cardBorder
    }
    Overlay.modal: Rectangle { color: Theme.overlay }

    contentItem: ColumnLayout {
        spacing: 8
        SymbolImage {
            Layout.alignment: Qt.AlignHCenter
            Layout.bottomMargin: 6
            source: ":/QuarryDesktop/app.brightloom.share.svg"
            color: "transparent"
            implicitWidth: 56
            implicitHeight: 56
        }
        AppText {
            objectName: "errorAlertTitle"
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: "brightloom Share"
            size: Theme.headline
            semibold: true
        }
        AppText {
            objectName: "errorAlertMessage"
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            text: alert.message
            size: Theme.subheadline
        }
        AppButton {
            objectName: "errorAlertOKButton"
            Layout.fillWidth: true
            Layout.topMargin: 12
            text: "OK"
            prominent: true
            onClicked: alert.close()
        }
    }

    onClosed: {
        if (store.errorMessage === message)
            store.errorMessage = ""
        else
            showStoreMessage()
    }

    Connections {
        target: alert.store
        function onErrorMessageChanged() { alert.showStoreMessage() }
    }

    Component.onCompleted: showStoreMessage()
}
