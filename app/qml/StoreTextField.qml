import QtQuick

// A field that writes through to the store on every edit and shows the store's value. While the user is
// typing, the field keeps what was typed (so a blank or a hyphen is not swallowed mid-word); when editing
// ends, or the value belongs to another item (`subject`), it shows what the store made of it.
AppTextField {
    id: field

    property string storeText
    property string subject
    signal edited(string text)

    function showStoreText() {
        if (text !== storeText)
            text = storeText
    }

    Component.onCompleted: showStoreText()
    onStoreTextChanged: if (!activeFocus) showStoreText()
    onSubjectChanged: showStoreText()
    onActiveFocusChanged: if (!activeFocus) showStoreText()
    onEditingFinished: showStoreText()
    onTextEdited: edited(text)
}
