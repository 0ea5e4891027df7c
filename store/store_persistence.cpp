#include "store/quarry_share_store.h"

#include "core/diagnostics.h"
#include "core/paths.h"
#include "core/state_document.h"
#include "sources/folder_importer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes a finished rename durable: the folder's entry must reach the disk as well as the file.
void syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// Writes bytes to a new file readable by the user only, flushed to disk before it replaces the old one.
bool writePrivateFileAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (::fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0 || file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    // QSaveFile flushes the temporary file to disk before renaming it over the old one.
    if (!file.commit())
        return false;
    syncFolder(QFileInfo(path).absolutePath());
    return true;
}

} // namespace

void QuarryShareStore::load() {
    QFile file(m_persistenceURL);
    // Only construction loads, before anything watches the state.
    if (!file.exists()) {
        m_appState = QuarryShareAppState{};
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        logDiagnostic(QStringLiteral("Could not read %1 (%2); starting from defaults.")
                          .arg(m_persistenceURL, file.errorString()));
        m_appState = QuarryShareAppState{};
        return;
    }
    const QByteArray bytes = file.readAll();
    std::optional<QuarryShareAppState> decoded = decodeAppState(bytes);
    if (!decoded) {
        preserveUnreadableState(bytes);
        m_appState = QuarryShareAppState{};
        return;
    }
    for (QuarryFolderShare& share : decoded->shares)
        share.path = expandTilde(share.path);
    m_appState = std::move(*decoded);
}

// An unreadable document is replaced at the next save; keep a copy beside it first, so a typo or a
// document from a newer version never costs the user their shares and passwords.
void QuarryShareStore::preserveUnreadableState(const QByteArray& bytes) {
    const QFileInfo info(m_persistenceURL);
    const QDir folder = info.absoluteDir();
    const QString prefix = info.fileName() + QStringLiteral(".unreadable-");
    for (const QString& name : folder.entryList({prefix + QLatin1Char('*')}, QDir::Files)) {
        QFile earlier(folder.filePath(name));
        if (earlier.open(QIODevice::ReadOnly) && earlier.readAll() == bytes)
            return; // already kept
    }
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString copy = folder.filePath(prefix + stamp);
    for (int n = 2; QFileInfo::exists(copy); ++n)
        copy = folder.filePath(prefix + stamp + QLatin1Char('-') + QString::number(n));
    if (writePrivateFileAtomically(copy, bytes))
        logDiagnostic(QStringLiteral("%1 could not be read; starting from defaults. The unreadable file was "
                                     "kept as %2.")
                          .arg(m_persistenceURL, copy));
    else
        logDiagnostic(
            QStringLiteral("%1 could not be read and could not be kept aside; starting from defaults.")
                .arg(m_persistenceURL));
}

void QuarryShareStore::save() {
    // Failures are not reported: the next successful save writes the whole current state.
    QDir().mkpath(QFileInfo(m_persistenceURL).absolutePath());
    writePrivateFileAtomically(m_persistenceURL, encodeAppState(m_appState));
}

void QuarryShareStore::mergeImportedQuarryFolders() {
    const std::optional<QList<QuarryImportedFolder>> imported = QuarryFolderImporter::loadImportedFolders(
        m_environment.homePath.isEmpty() ? QDir::homePath() : m_environment.homePath);
    if (!imported)
        return;

    QList<QuarryFolderShare> shares = m_appState.shares;
    QSet<QString> ids;
    QSet<QString> paths;
    for (const QuarryImportedFolder& folder : *imported) {
        if (folder.folderID)
            ids.insert(*folder.folderID);
        paths.insert(folder.path);
    }

    shares.removeIf([&](const QuarryFolderShare& share) {
        if (share.source != QuarryShareSource::quarry)
            return false;
        return share.sourceFolderID ? !ids.contains(*share.sourceFolderID) : !paths.contains(share.path);
    });

    for (const QuarryImportedFolder& folder : *imported) {
        auto match = std::find_if(shares.begin(), shares.end(), [&](const QuarryFolderShare& share) {
            return share.source == QuarryShareSource::quarry &&
                   ((share.sourceFolderID && share.sourceFolderID == folder.folderID) ||
                    share.path == folder.path);
        });
        if (match != shares.end()) {
            match->name = folder.name;
            match->path = folder.path;
            match->sourceFolderID = folder.folderID;
            continue;
        }
        QuarryFolderShare share;
        share.source = QuarryShareSource::quarry;
        share.sourceFolderID = folder.folderID;
        share.name = folder.name;
        share.path = folder.path;
        share.urlSlug = nextUniqueSlug(folder.name, std::nullopt, &shares);
        shares.append(share);
    }

    assignShares(std::move(shares));
    fixSelection();
    save();
}

void QuarryShareStore::assignShares(QList<QuarryFolderShare> shares) {
    if (shares == m_appState.shares)
        return;
    m_appState.shares = std::move(shares);
    Q_EMIT sharesChanged();
}

// Keeps the selection on a share that exists: the first share in stored order otherwise.
void QuarryShareStore::fixSelection() {
    if (m_selectedShareID && findShare(*m_selectedShareID))
        return;
    setSelectedShareID(m_appState.shares.isEmpty() ? std::nullopt
                                                   : std::optional<QUuid>(m_appState.shares.first().id));
}
