#include "app/desktop_services.h"

#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

QuarryDialogFolderChooser::~QuarryDialogFolderChooser() {
    // Nobody will answer any more; the store's callback must not wait for ever nor run late.
    m_pending = nullptr;
}

void QuarryDialogFolderChooser::chooseFolder(std::function<void(std::optional<QString>)> done) {
    // One dialog at a time: a new request ends the previous one as cancelled.
    answer(std::nullopt);
    m_pending = std::move(done);
    Q_EMIT chooseRequested();
}

void QuarryDialogFolderChooser::finish(const QUrl& folder) {
    const QString path = folder.isLocalFile() ? folder.toLocalFile() : QString();
    if (path.isEmpty() || !QFileInfo(path).isDir()) {
        answer(std::nullopt);
        return;
    }
    // The dialog may hand back "/home/me/Photos/"; the share keeps the folder's own path.
    answer(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

void QuarryDialogFolderChooser::cancel() {
    answer(std::nullopt);
}

void QuarryDialogFolderChooser::answer(std::optional<QString> path) {
    if (!m_pending)
        return;
    auto done = std::move(m_pending);
    m_pending = nullptr;
    done(std::move(path));
}

void QuarrySystemClipboard::setText(const QString& text) {
    QGuiApplication::clipboard()->setText(text);
}
