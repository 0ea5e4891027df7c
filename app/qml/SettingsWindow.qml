import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Application-wide settings: appearance, the web server and the public link. Fixed at 620 by 430 with
// 24 of padding; it keeps no state of its own.
ThemedWindow {
    id: window

    property QtObject shell
    property QtObject store
    readonly property QtObject server: store.server
    readonly property QtObject link: store.publicLink

    readonly property var serverPill: {
        switch (server.serverStateName) {
        case "running":
            return { label: "Listening on " + server.serverPort, color: BrightloomSharePalette.green }
        case "failed":
            return { label: "Couldn't start", color: BrightloomSharePalette.yellow }
        default:
            return { label: "Stopped", color: Theme.secondaryText }
        }
    }
    readonly property color tunnelColor: {
        switch (link.publicTunnelStatusName) {
        case "running":
            return BrightloomSharePalette.green
        case "failed":
            return BrightloomSharePalette.yellow
        case "preparing":
            return BrightloomSharePalette.blue
        default:
            return Theme.secondaryText
        }
    }

    objectName: "settingsWindow"
    title: "Settings"
    // Another program (or the desktop's own settings) may have changed the autostart entry meanwhile.
    onVisibleChanged: if (visible && shell) shell.autostart.refresh()
    visible: false
    width: 620
    height: 430
    minimumWidth: 620
    maximumWidth: 620
    minimumHeight: 430
    maximumHeight: 430

    RowLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 0

        ColumnLayout {
            objectName: "settingsRail"
            Layout.preferredWidth: 166
            Layout.maximumWidth: 166
            Layout.fillHeight: true
            spacing: 10

            AppText {
                objectName: "settingsRailTitle"
                Layout.leftMargin: 14
                Layout.topMargin: 14
                text: "Settings"
                size: Theme.title3
                semibold: true
            }
            SettingsRailButton {
                objectName: "generalRailButton"
                Layout.leftMargin: 14
                Layout.rightMargin: 14
                title: "General"
                systemImage: "switch.2"
                isSelected: true
            }
            Item { Layout.fillHeight: true }
        }

        Separator {
            vertical: true
        }

        Flickable {
            id: scroller
            objectName: "settingsScroller"
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentHeight: content.implicitHeight + 4
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {
            policy: scroller.contentHeight > scroller.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
        }

            ColumnLayout {
                id: content
                x: 20
                y: 2
                width: scroller.width - 32
                spacing: 14

                ColumnLayout {
                    objectName: "settingsHeader"
                    Layout.fillWidth: true
                    Layout.topMargin: 10
                    spacing: 4
                    RowLayout {
                        spacing: 8
                        AppIcon {
                            symbol: "square.and.arrow.up"
                            size: 20
                            color: Theme.accentText
                        }
                        AppText {
                            objectName: "settingsHeaderTitle"
                            text: "brightloom Share"
                            size: Theme.title2
                            semibold: true
                        }
                    }
                    AppText {
                        objectName: "settingsHeaderSubtitle"
                        Layout.fillWidth: true
                        text: "Read-only web sharing for local spaces."
                        secondary: true
                        wrapMode: Text.Wrap
                    }
                }

                SettingsCard {
                    objectName: "appearanceCard"
                    title: "Appearance"
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 8
                        Repeater {
                            model: window.shell ? window.shell.appearanceModes : []
                            AppearanceButton {
                                objectName: "appearanceButton_" + modelData.mode
                                mode: modelData.mode
                                title: modelData.title
                                symbol: modelData.icon
                                selected: window.store.appearanceMode !== "" && window.store.isAppearanceModeSelected(modelData.mode)
                                onClicked: window.store.setAppearanceMode(modelData.mode)
                            }
                        }
                    }
                }

                SettingsCard {
                    objectName: "startupCard"
                    title: "Startup"
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 12
                        ColumnLayout {
                            Layout.fillWidth: true
                            spacing: 3
                            AppText {
                                objectName: "startAtLoginLabel"
                                Layout.fillWidth: true
                                text: "Start at login"
                            }
                            AppText {
                                objectName: "startAtLoginNote"
                                Layout.fillWidth: true
                                text: "Shares stay online from the start of every session; the window stays in the system tray when the desktop has one."
                                size: Theme.caption
                                secondary: true
                                wrapMode: Text.Wrap
                            }
                        }
                        AppSwitch {
                            id: startAtLoginSwitch
                            objectName: "startAtLoginSwitch"
                            Layout.alignment: Qt.AlignVCenter
                            text: "Start at login"
                            checked: window.shell ? window.shell.autostart.enabled : false
                            onToggled: {
                                window.shell.autostart.enabled = checked
                                // The file decides, also when writing it failed.
                                checked = Qt.binding(() => window.shell.autostart.enabled)
                            }
                        }
                    }
                }

                SettingsCard {
                    objectName: "activityCard"
                    title: "Activity"
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 12
                        ColumnLayout {
                            Layout.fillWidth: true
                            spacing: 3
                            AppText {
                                Layout.fillWidth: true
                                text: "Record what visitors fetch"
                            }
                            AppText {
                                objectName: "recordActivityNote"
                                Layout.fillWidth: true
                                text: "Who opened which share, what they downloaded and whether it finished, kept on this computer only. Turning it off removes what was recorded."
                                size: Theme.caption
                                secondary: true
                                wrapMode: Text.Wrap
                            }
                        }
                        AppSwitch {
                            objectName: "recordActivitySwitch"
                            Layout.alignment: Qt.AlignVCenter
                            text: "Record what visitors fetch"
                            checked: window.store.recordsActivity
                            onToggled: window.store.recordsActivity = checked
                        }
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 12
                        AppText {
                            Layout.fillWidth: true
                            text: "Tell me when a folder or a file over 100 MB has been downloaded through the public link"
                            wrapMode: Text.Wrap
                        }
                        AppSwitch {
                            objectName: "notifyDownloadsSwitch"
                            Layout.alignment: Qt.AlignVCenter
                            text: "Tell me about downloads"
                            checked: window.store.notifiesDownloads
                            onToggled: window.store.notifiesDownloads = checked
                        }
                    }
                }

                SettingsCard {
                    objectName: "webServerCard"
                    title: "Web Server"

                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 10
                        StoreTextField {
                            objectName: "portField"
                            Layout.preferredWidth: 92
                            placeholderText: "Port"
                            storeText: window.server.portString
                            inputMethodHints: Qt.ImhDigitsOnly
                            onCommitted: (text) => { window.server.portString = text }
                        }
                        StatusPill {
                            objectName: "serverStatusPill"
                            label: window.serverPill.label
                            dotColor: window.serverPill.color
                        }
                        Item { Layout.fillWidth: true }
                    }

                    RowLayout {
                        objectName: "primaryAddressRow"
                        Layout.fillWidth: true
                        visible: window.server.availableOrigins.length > 0
                        spacing: 8
                        AppText {
                            Layout.alignment: Qt.AlignTop
                            text: "Primary address"
                            size: Theme.caption
                            semibold: true
                            secondary: true
                        }
                        SelectableText {
                            objectName: "primaryAddressValue"
                            Layout.fillWidth: true
                            text: window.server.availableOrigins.length > 0 ? window.server.availableOrigins[0] : ""
                            monospaced: true
                        }
                    }

                    AppText {
                        objectName: "webServerNote"
                        Layout.fillWidth: true
                        text: "Use passwords per space when a local browser link should not be open to everyone on the network."
                        size: Theme.caption
                        secondary: true
                        wrapMode: Text.Wrap
                    }

                    AppText {
                        objectName: "hostNamesTitle"
                        text: "Other names for this computer"
                        size: Theme.caption
                        semibold: true
                        secondary: true
                    }

                    Repeater {
                        objectName: "allowedHostNames"
                        model: window.server.allowedHostNames
                        delegate: RowLayout {
                            required property string modelData
                            objectName: "allowedHostName_" + modelData
                            Layout.fillWidth: true
                            spacing: 8
                            SelectableText {
                                Layout.fillWidth: true
                                text: parent.modelData
                                monospaced: true
                            }
                            AppButton {
                                objectName: "removeHostName_" + parent.modelData
                                text: "Remove"
                                onClicked: window.server.removeAllowedHostName(parent.modelData)
                            }
                        }
                    }

                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 8
                        AppTextField {
                            id: hostNameField
                            objectName: "hostNameField"
                            Layout.fillWidth: true
                            // Names of the local network's own DNS, or a reverse proxy's, that visitors use.
                            placeholderText: "A name such as desktop.home.arpa"
                            onAccepted: addHostNameButton.clicked()
                        }
                        AppButton {
                            id: addHostNameButton
                            objectName: "addHostNameButton"
                            text: "Add Name"
                            enabled: hostNameField.text.trim() !== ""
                            onClicked: {
                                window.server.allowHostName(hostNameField.text)
                                hostNameField.text = ""
                            }
                        }
                    }

                    RowLayout {
                        spacing: 8
                        AppButton {
                            objectName: "restartServerButton"
                            text: "Restart Server"
                            onClicked: window.server.restartServer()
                        }
                        AppButton {
                            objectName: "settingsRefreshSpacesButton"
                            text: "Refresh Spaces"
                            onClicked: window.store.refreshImportedFolders()
                        }
                    }
                }

                SettingsCard {
                    objectName: "tunnelCard"
                    title: "Cloudflare Tunnel"

                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 10
                        StatusPill {
                            objectName: "tunnelStatusPill"
                            Layout.alignment: Qt.AlignTop
                            label: window.link.publicTunnelStatusLabel
                            dotColor: window.tunnelColor
                        }
                        SelectableText {
                            objectName: "tunnelURLText"
                            Layout.fillWidth: true
                            Layout.alignment: Qt.AlignVCenter
                            visible: window.link.publicTunnelURL !== ""
                            text: window.link.publicTunnelURL
                            monospaced: true
                        }
                        Item {
                            Layout.fillWidth: true
                            visible: window.link.publicTunnelURL === ""
                        }
                    }

                    StoreTextField {
                        objectName: "brokerURLField"
                        Layout.fillWidth: true
                        placeholderText: "Broker URL"
                        storeText: window.link.publicTunnelBrokerURL
                        onCommitted: (text) => { window.link.publicTunnelBrokerURL = text }
                    }

                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 8
                        StoreTextField {
                            objectName: "tunnelSubdomainField"
                            Layout.fillWidth: true
                            placeholderText: "Subdomain"
                            storeText: window.link.publicTunnelSubdomain
                            onCommitted: (text) => { window.link.publicTunnelSubdomain = text }
                        }
                        AppButton {
                            objectName: "checkAvailabilityButton"
                            text: "Check Availability"
                            onClicked: window.link.checkPublicTunnelAvailability()
                        }
                    }

                    AppButton {
                        objectName: "tunnelToggleButton"
                        text: window.link.publicTunnelEnabled ? "Turn Off Public Link" : "Turn On Public Link"
                        enabled: window.link.publicTunnelEnabled || window.link.publicTunnelCanStart
                        onClicked: {
                            if (window.link.publicTunnelEnabled)
                                window.link.stopPublicTunnel()
                            else
                                window.link.startPublicTunnel()
                        }
                    }

                    AppText {
                        objectName: "tunnelRequirementText"
                        Layout.fillWidth: true
                        visible: window.link.publicTunnelRequirementMessage !== "" && !window.link.publicTunnelEnabled
                        text: window.link.publicTunnelRequirementMessage
                        size: Theme.caption
                        secondary: true
                        wrapMode: Text.Wrap
                    }
                }

                Item { implicitHeight: 8 }
            }
        }
    }
}
