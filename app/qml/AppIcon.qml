import QtQuick
import QuarryDesktop.Graphics

// One of the bundled line icons, named after its platform symbol and drawn in one colour.
SymbolImage {
    property string symbol
    property int size: 16

    source: symbol ? ":/QuarryDesktop/icons/" + symbol + ".svg" : ""
    color: Theme.primaryText
    width: size
    height: size
    implicitWidth: size
    implicitHeight: size
}
