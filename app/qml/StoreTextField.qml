import QtQuick

// A field over one value of the store. Typing changes only the field; the value goes to the store once,
// when editing ends (Return, Tab, or the focus moving elsewhere, such as to a button or another share),
// so the store saves and restarts what depends on it once per edit rather than at every keystroke. The
// field then shows what the store made of it, and a value that belongs to another item (`subject`)
// replaces whatever was typed.
AppTextField {
    id: field

    property string storeText
    property string subject
    signal committed(string text)

    function showStoreText() {
        if (text !== storeText)
            text = storeText
    }

    Component.onCompleted: showStoreText()
    onStoreTextChanged: if (!activeFocus) showStoreText()
    onSubjectChanged: showStoreText()
    onEditingFinished: {
        if (text !== storeText)
            committed(text)
        showStoreText()
    }
}
