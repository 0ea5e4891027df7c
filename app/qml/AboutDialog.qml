import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QuarryDesktop.Graphics

// The about panel: icon, name and version of the application.
Dialog {
    id: dialog

    property QtObject shell

    objectName: "aboutDialog"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 320
    modal: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    padding: 24
    topPadding: 28

    background: Rectangle {
        radius: 12
        color: Theme.popupBackground
        border.width: 1
        border.color: Theme.cardBorder
    }
    Overlay.modal: Rectangle { color: Theme.overlay }

    contentItem: ColumnLayout {
        spacing: 6
        SymbolImage {
            Layout.alignment: Qt.AlignHCenter
            Layout.bottomMargin: 8
            source: ":/QuarryDesktop/app.brightloom.share.svg"
            color: "transparent"
            implicitWidth: 72
            implicitHeight: 72
        }
        AppText {
            objectName: "aboutName"
            Layout.alignment: Qt.AlignHCenter
            text: "brightloom Share"
            size: Theme.title3
            semibold: true
        }
        AppText {
            objectName: "aboutVersion"
            Layout.alignment: Qt.AlignHCenter
            text: "Version " + (dialog.shell ? dialog.shell.version : "")
            size: Theme.subheadline
            secondary: true
        }
        AppText {
            Layout.fillWidth: true
            Layout.topMargin: 6
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            text: "Read-only web sharing for local spaces."
            size: Theme.subheadline
            secondary: true
        }
        AppButton {
            objectName: "aboutOKButton"
            Layout.fillWidth: true
            Layout.topMargin: 14
            text: "OK"
            prominent: true
            onClicked: dialog.close()
        }
    }
}
