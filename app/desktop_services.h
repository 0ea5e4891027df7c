#pragma once

#include "store/store_environment.h"

#include <QObject>
#include <QUrl>

// The store's folder chooser, answered by the main window's FolderDialog: the store asks, the window
// shows the dialog on `chooseRequested` and reports back through `finish` or `cancel`.
class QuarryDialogFolderChooser : public QObject, public QuarryFolderChooser {
    Q_OBJECT

public:
    using QObject::QObject;
    ~QuarryDialogFolderChooser() override;

    void chooseFolder(std::function<void(std::optional<QString> path)> done) override;

    // The folder the user confirmed (a file URL); anything but a local folder counts as cancelled.
    Q_INVOKABLE void finish(const QUrl& folder);
    Q_INVOKABLE void cancel();

Q_SIGNALS:
    void chooseRequested();

private:
    void answer(std::optional<QString> path);

    std::function<void(std::optional<QString>)> m_pending;
};

// The system clipboard, as plain text.
class QuarrySystemClipboard : public QuarryClipboard {
public:
    void setText(const QString& text) override;
};
