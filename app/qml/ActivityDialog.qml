import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Who fetched what: downloads running now, per-share totals since a point the user can reset, and the
// visitors of each share with what they fetched.
Dialog {
    id: dialog

    property QtObject store
    readonly property QtObject activity: store ? store.activity : null

    function sizeText(bytes) {
        if (bytes < 1000)
            return bytes + " B"
        const units = ["kB", "MB", "GB", "TB"]
        let value = bytes / 1000
        let unit = 0
        while (value >= 1000 && unit < units.length - 1) {
            value /= 1000
            ++unit
        }
        return value.toFixed(1) + " " + units[unit]
    }

    function viaText(via) {
        return via === "public" ? "public link" : via === "lan" ? "local network" : "this computer"
    }

    objectName: "activityDialog"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(680, parent ? parent.width - 40 : 680)
    height: Math.min(560, parent ? parent.height - 40 : 560)
    modal: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    padding: 20

    background: Rectangle {
        radius: 12
        color: Theme.popupBackground
        border.width: 1
        border.color: Theme.cardBorder
    }
    Overlay.modal: Rectangle { color: Theme.overlay }

    contentItem: Flickable {
        clip: true
        contentHeight: column.implicitHeight
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}

        ColumnLayout {
            id: column
            width: parent.width
            spacing: 10

            AppText {
                text: "Activity"
                semibold: true
                size: Theme.title3
            }
            AppText {
                objectName: "activityOffNote"
                visible: !dialog.store.recordsActivity
                Layout.fillWidth: true
                text: "Recording is off in the settings."
                secondary: true
            }

            AppText { text: "Downloading now"; semibold: true }
            AppText {
                visible: dialog.activity.downloads.length === 0
                text: "No downloads are running."
                secondary: true
                size: Theme.caption
            }
            Repeater {
                model: dialog.activity.downloads
                ColumnLayout {
                    objectName: "runningDownload_" + index
                    Layout.fillWidth: true
                    spacing: 2
                    AppText {
                        objectName: "runningDownloadText"
                        Layout.fillWidth: true
                        elide: Text.ElideMiddle
                        text: modelData.name + " (" + modelData.share + ") to " + modelData.client + " via "
                              + dialog.viaText(modelData.via) + ": " + dialog.sizeText(modelData.bytesSent)
                              + (modelData.bytesPromised >= 0 ? " of " + dialog.sizeText(modelData.bytesPromised) : "")
                        size: Theme.caption
                    }
                    ProgressBar {
                        id: progressBar
                        objectName: "runningDownloadProgress"
                        Accessible.name: modelData.name
                        Layout.fillWidth: true
                        indeterminate: modelData.progress < 0
                        value: Math.max(0, modelData.progress)
                        // The theme's own track and accent: the style's bar reads inverted on a dark window.
                        background: Rectangle {
                            implicitHeight: 6
                            radius: 3
                            color: Theme.switchTrackOff
                        }
                        contentItem: Item {
                            implicitHeight: 6
                            Rectangle {
                                width: progressBar.indeterminate ? parent.width
                                                                 : progressBar.visualPosition * parent.width
                                height: parent.height
                                radius: 3
                                color: Theme.accent
                                opacity: progressBar.indeterminate ? 0.4 : 1
                            }
                        }
                    }
                }
            }

            Separator {}
            RowLayout {
                Layout.fillWidth: true
                AppText {
                    Layout.fillWidth: true
                    text: "Totals" + (dialog.activity.totalsSince ? " since " + dialog.activity.totalsSince : "")
                    semibold: true
                }
                AppButton {
                    objectName: "resetTotalsButton"
                    text: "Reset"
                    onClicked: dialog.activity.resetTotals()
                }
            }
            Repeater {
                model: dialog.activity.totals
                AppText {
                    objectName: "shareTotal_" + modelData.slug
                    Layout.fillWidth: true
                    text: modelData.share + ": " + modelData.visitors + (modelData.visitors === 1 ? " visitor, " : " visitors, ")
                          + modelData.downloads + (modelData.downloads === 1 ? " completed download, " : " completed downloads, ")
                          + dialog.sizeText(modelData.bytesSent) + " sent"
                    size: Theme.caption
                    wrapMode: Text.Wrap
                }
            }

            Separator {}
            AppText { text: "Visitors"; semibold: true }
            AppText {
                visible: dialog.activity.visitors.length === 0
                text: "Nobody has visited yet."
                secondary: true
                size: Theme.caption
            }
            Repeater {
                model: dialog.activity.visitors
                ColumnLayout {
                    readonly property var shareEntry: modelData
                    objectName: "shareVisitors_" + shareEntry.slug
                    Layout.fillWidth: true
                    spacing: 2
                    AppText { text: shareEntry.share; semibold: true; size: Theme.caption }
                    Repeater {
                        model: shareEntry.visitors
                        AppText {
                            objectName: "visitor_" + index
                            Layout.fillWidth: true
                            text: modelData.client + " via " + dialog.viaText(modelData.via) + ", " + modelData.firstSeen
                                  + (modelData.lastSeen !== modelData.firstSeen ? " to " + modelData.lastSeen : "")
                                  + (modelData.fetched ? ": " + modelData.fetched : "")
                            size: Theme.caption
                            secondary: true
                            wrapMode: Text.Wrap
                        }
                    }
                }
            }
        }
    }
}
