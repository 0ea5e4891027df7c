import QtQuick
import QtQuick.Layouts

// The public link of the whole server: its state, the subdomain, this share's public URL, and what is
// still missing before the link may be turned on.
SurfaceCard {
    id: card

    property QtObject store
    property var share

    readonly property QtObject link: store.publicLink
    readonly property bool linkEnabled: link.publicTunnelEnabled
    readonly property string statusName: link.publicTunnelStatusName
    readonly property var appearance: {
        switch (statusName) {
        case "running":
            return { title: "Public link is online", symbol: "checkmark.icloud.fill", color: BrightloomSharePalette.green }
        case "failed":
            return { title: "Public link needs attention", symbol: "exclamationmark.icloud.fill", color: BrightloomSharePalette.yellow }
        case "preparing":
            return { title: "Starting public link", symbol: "icloud.and.arrow.up", color: BrightloomSharePalette.blue }
        default:
            return { title: linkEnabled ? "Public link is reconnecting" : "Public link is off", symbol: "icloud", color: Theme.secondaryText }
        }
    }

    objectName: "publicLinkCard"
    title: "Public Link"

    RowLayout {
        Layout.fillWidth: true
        spacing: 12
        AppIcon {
            objectName: "publicLinkIcon"
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 1
            symbol: card.appearance.symbol
            size: 20
            color: card.appearance.color
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 3
            AppText {
                objectName: "publicLinkTitle"
                Layout.fillWidth: true
                text: card.appearance.title
                semibold: true
                wrapMode: Text.Wrap
            }
            AppText {
                objectName: "publicLinkDescription"
                Layout.fillWidth: true
                text: card.link.publicTunnelURL !== "" && card.linkEnabled
                      ? "Anyone with the password can reach this Share app at " + card.link.publicTunnelURL + "."
                      : "Pick a brightloom subdomain and tunnel this local Share app through Cloudflare."
                size: Theme.caption
                secondary: true
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            }
        }
        AppButton {
            objectName: "publicLinkToggleButton"
            Layout.alignment: Qt.AlignTop
            text: card.linkEnabled ? "Turn Off" : "Turn On"
            enabled: card.linkEnabled || card.link.publicTunnelCanStart
            onClicked: {
                if (card.linkEnabled)
                    card.link.stopPublicTunnel()
                else
                    card.link.startPublicTunnel()
            }
        }
    }

    RowLayout {
        Layout.fillWidth: true
        spacing: 8
        StoreTextField {
            objectName: "publicLinkSubdomainField"
            Layout.fillWidth: true
            placeholderText: "subdomain"
            monospaced: true
            storeText: card.link.publicTunnelSubdomain
            onCommitted: (text) => { card.link.publicTunnelSubdomain = text }
        }
        AppText {
            objectName: "publicLinkDomainSuffix"
            text: card.link.publicTunnelDomainSuffix
            size: Theme.subheadline
            monospaced: true
            secondary: true
        }
        AppButton {
            objectName: "publicLinkCheckButton"
            text: "Check"
            onClicked: card.link.checkPublicTunnelAvailability()
        }
    }

    Separator {
        visible: publicURLRow.visible
    }
    RowLayout {
        id: publicURLRow
        objectName: "publicLinkURLRow"
        Layout.fillWidth: true
        visible: (card.share.publicShareURL || "") !== ""
        spacing: 8
        SelectableText {
            objectName: "publicLinkShareURL"
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignVCenter
            text: card.share.publicShareURL || ""
            monospaced: true
        }
        QRCodeButton {
            objectName: "publicLinkQRButton"
            url: card.share.publicShareURL || ""
            hint: "Scan it with a phone's camera to open the public link there."
        }
        AppButton {
            objectName: "publicLinkCopyButton"
            text: "Copy"
            onClicked: card.store.copyPublicURL(card.share.id)
        }
    }

    RowLayout {
        objectName: "publicLinkRequirement"
        Layout.fillWidth: true
        visible: card.link.publicTunnelRequirementMessage !== "" && !card.linkEnabled
        spacing: 6
        AppIcon {
            Layout.alignment: Qt.AlignTop
            symbol: "exclamationmark.triangle"
            size: 13
            color: BrightloomSharePalette.yellow
        }
        AppText {
            objectName: "publicLinkRequirementText"
            Layout.fillWidth: true
            text: card.link.publicTunnelRequirementMessage
            size: Theme.caption
            color: Theme.warningText
            wrapMode: Text.Wrap
        }
    }
}
