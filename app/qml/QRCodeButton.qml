import QtQuick

// The icon button beside a URL that shows the URL's QR code, for a phone to open it.
ToolbarButton {
    id: button

    property string url
    property string hint: "Scan it with a phone's camera to open this address there."

    symbol: "qrcode"
    helpText: "Show QR Code"
    implicitWidth: 28
    implicitHeight: 26
    padding: 5
    onClicked: dialog.show(url, hint)

    QRCodeDialog {
        id: dialog
        objectName: "qrCodeDialog"
    }
}
