import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QuarryDesktop.Graphics

// A URL's QR code, large enough for a phone across a desk, with the URL written under it. The code is
// dark on a light square in both themes: that is the way round every scanner reads.
Dialog {
    id: dialog

    property string url
    property string hint

    function show(newURL, newHint) {
        url = newURL
        hint = newHint
        open()
    }

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 380
    modal: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    padding: 22
    topPadding: 20

    background: Rectangle {
        radius: 12
        color: Theme.popupBackground
        border.width: 1
        border.color: Theme.cardBorder
    }
    Overlay.modal: Rectangle { color: Theme.overlay }

    contentItem: ColumnLayout {
        spacing: 10
        AppText {
            objectName: "qrCodeTitle"
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: "Open on Another Device"
            size: Theme.headline
            semibold: true
        }
        AppText {
            objectName: "qrCodeHint"
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: dialog.hint
            size: Theme.caption
            secondary: true
            wrapMode: Text.Wrap
        }
        Rectangle {
            objectName: "qrCodeTile"
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 4
            implicitWidth: 300
            implicitHeight: 300
            radius: 8
            color: "#FFFFFF"
            QRCode {
                objectName: "qrCodeImage"
                anchors.fill: parent
                anchors.margins: 2
                text: dialog.url
            }
        }
        SelectableText {
            objectName: "qrCodeURL"
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: dialog.url
            size: Theme.subheadline
            monospaced: true
        }
        AppButton {
            objectName: "qrCodeDoneButton"
            Layout.fillWidth: true
            Layout.topMargin: 6
            text: "Done"
            prominent: true
            onClicked: dialog.close()
        }
    }
}
