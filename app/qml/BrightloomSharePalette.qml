pragma Singleton
import QtQuick

// The four status colours of both windows: green for running or online, yellow for failed or needs
// attention, blue for starting; red marks destructive actions.
QtObject {
    readonly property color red: "#F44236"
    readonly property color green: "#0E925D"
    readonly property color blue: "#277BD6"
    readonly property color yellow: "#F4B500"
}
