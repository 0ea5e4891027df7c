pragma Singleton
import QtQuick

// Colours and type sizes of both windows, dark or light. The shell sets `dark` from the appearance mode.
QtObject {
    property bool dark: true

    // Surfaces.
    readonly property color windowBackground: dark ? "#1C1D20" : "#F2F2F5"
    readonly property color sidebarBackground: dark ? "#232428" : "#E8E8EC"
    readonly property color toolbarBackground: dark ? "#232428" : "#E8E8EC"
    readonly property color cardBackground: dark ? Qt.rgba(1, 1, 1, 0.045) : Qt.rgba(1, 1, 1, 0.88)
    readonly property color cardBorder: dark ? Qt.rgba(1, 1, 1, 0.09) : Qt.rgba(0, 0, 0, 0.09)
    readonly property color separator: dark ? Qt.rgba(1, 1, 1, 0.10) : Qt.rgba(0, 0, 0, 0.10)
    readonly property color pillBackground: dark ? Qt.rgba(1, 1, 1, 0.07) : Qt.rgba(0, 0, 0, 0.05)
    readonly property color popupBackground: dark ? "#2C2D32" : "#FFFFFF"
    readonly property color overlay: dark ? Qt.rgba(0, 0, 0, 0.45) : Qt.rgba(0, 0, 0, 0.22)

    // Text.
    readonly property color primaryText: dark ? "#ECECEF" : "#1D1D1F"
    readonly property color secondaryText: dark ? "#A3A5AD" : "#64646B"
    readonly property color tertiaryText: dark ? "#70727A" : "#A2A2A8"
    // Yellow text needs a deeper shade to stay legible on light surfaces.
    readonly property color warningText: dark ? BrightloomSharePalette.yellow : "#8F6A00"

    // Controls.
    readonly property color fieldBackground: dark ? "#18191C" : "#FFFFFF"
    readonly property color fieldBorder: dark ? Qt.rgba(1, 1, 1, 0.14) : Qt.rgba(0, 0, 0, 0.16)
    readonly property color buttonBackground: dark ? "#33353A" : "#FFFFFF"
    readonly property color buttonHover: dark ? "#3B3D43" : "#F6F6F8"
    readonly property color buttonPressed: dark ? "#44464D" : "#E9E9EE"
    readonly property color buttonBorder: dark ? Qt.rgba(1, 1, 1, 0.10) : Qt.rgba(0, 0, 0, 0.14)
    readonly property color accent: BrightloomSharePalette.blue
    readonly property color accentText: dark ? "#5FA2EA" : "#1F69BA"
    readonly property color selection: dark ? Qt.rgba(0.153, 0.482, 0.839, 0.30) : Qt.rgba(0.153, 0.482, 0.839, 0.16)
    readonly property color hover: dark ? Qt.rgba(1, 1, 1, 0.05) : Qt.rgba(0, 0, 0, 0.04)
    readonly property color switchTrackOff: dark ? "#45474E" : "#D3D3D9"

    // Type sizes, in pixels.
    readonly property int title2: 19
    readonly property int title3: 16
    readonly property int headline: 14
    readonly property int body: 13
    readonly property int subheadline: 12
    readonly property int caption: 11
    readonly property int caption2: 10
    readonly property string monospace: "DejaVu Sans Mono"
}
