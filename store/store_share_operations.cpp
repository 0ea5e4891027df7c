#include "store/quarry_share_store.h"

#include "core/password_digest.h"
#include "core/paths.h"
#include "sources/share_utilities.h"

#include <QPointer>
#include <QSet>

QString QuarryShareStore::nextUniqueSlug(const QString& seed, std::optional<QUuid> excluding,
                                         const QList<QuarryFolderShare>* in) const {
    const QList<QuarryFolderShare>& shares = in ? *in : m_appState.shares;
    QSet<QString> taken;
    for (const QuarryFolderShare& share : shares) {
        if (!excluding || share.id != *excluding)
            taken.insert(share.urlSlug);
    }
    return QuarryShareUtilities::uniqueSlug(seed, taken);
}

void QuarryShareStore::addCustomFolder() {
    if (!m_folderChooser)
        return;
    QPointer<QuarryShareStore> self(this);
    m_folderChooser->chooseFolder([self](std::optional<QString> path) {
        if (self && path && !path->isEmpty())
            self->addCustomFolder(*path);
    });
}

void QuarryShareStore::addCustomFolder(const QString& chosenPath) {
    const QString folderName = lastPathComponent(chosenPath);
    for (const QuarryFolderShare& share : m_appState.shares) {
        if (share.path == chosenPath) {
            setStatusMessage(folderName + QStringLiteral(" is already listed."));
            return;
        }
    }
    QuarryFolderShare share;
    share.source = QuarryShareSource::custom;
    share.name = folderName;
    share.path = chosenPath;
    share.urlSlug = nextUniqueSlug(folderName);
    m_appState.shares.append(share);
    Q_EMIT appStateChanged();
    setSelectedShareID(m_appState.shares.last().id);
    save();
    restartServer();
}

void QuarryShareStore::toggleShare(const QUuid& id, bool isEnabled) {
    QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    share->isEnabled = isEnabled;
    Q_EMIT appStateChanged();
    save();
    restartServer();
}

void QuarryShareStore::updateSlug(const QUuid& id, const QString& slug) {
    QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    // uniqueSlug slugs its seed; the other shares' slugs are the taken set.
    share->urlSlug = nextUniqueSlug(QuarryShareUtilities::slugify(slug), id);
    Q_EMIT appStateChanged();
    save();
    restartServer();
}

void QuarryShareStore::setPassword(const QUuid& id, const QString& password) {
    QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    const QString trimmed = trimmedText(password);
    if (trimmed.isEmpty()) {
        setErrorMessage(QStringLiteral("Enter a password before turning password protection on."));
        return;
    }
    const QString salt = newUUIDText().remove(QLatin1Char('-'));
    share->passwordSalt = salt;
    share->passwordDigest = QuarryDigests::passwordDigest(trimmed, salt);
    const QString name = share->displayName();
    Q_EMIT appStateChanged();
    save();
    restartServer();
    setStatusMessage(QStringLiteral("Password enabled for %1.").arg(name));
}

void QuarryShareStore::removePassword(const QUuid& id) {
    QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    share->passwordSalt.reset();
    share->passwordDigest.reset();
    const QString name = share->displayName();
    Q_EMIT appStateChanged();
    save();
    restartServer();
    setStatusMessage(QStringLiteral("Password removed for %1.").arg(name));
}

void QuarryShareStore::removeShare(const QUuid& id) {
    const QuarryFolderShare* share = findShare(id);
    if (!share || share->source != QuarryShareSource::custom)
        return;
    m_appState.shares.removeIf([&](const QuarryFolderShare& candidate) { return candidate.id == id; });
    Q_EMIT appStateChanged();
    if (m_selectedShareID == id)
        setSelectedShareID(m_appState.shares.isEmpty() ? std::nullopt
                                                       : std::optional<QUuid>(m_appState.shares.first().id));
    save();
    restartServer();
}

QString QuarryShareStore::shareURLString(const QuarryFolderShare& share) const {
    const QString base = m_availableOrigins.isEmpty() ? QStringLiteral("/") : m_availableOrigins.first();
    return base + share.urlSlug + QLatin1Char('/');
}

std::optional<QString> QuarryShareStore::publicShareURLString(const QuarryFolderShare& share) const {
    const QuarrySharePublicTunnel& tunnel = m_appState.publicTunnel;
    if (!tunnel.hostname || !tunnel.isEnabled)
        return std::nullopt;
    return QStringLiteral("https://%1/%2/").arg(*tunnel.hostname, share.urlSlug);
}

void QuarryShareStore::copyURL(const QUuid& id) {
    const QuarryFolderShare* share = findShare(id);
    if (!share || m_availableOrigins.isEmpty())
        return;
    if (m_clipboard)
        m_clipboard->setText(m_availableOrigins.first() + share->urlSlug + QLatin1Char('/'));
    setStatusMessage(QStringLiteral("Copied %1 URL.").arg(share->displayName()));
}

void QuarryShareStore::copyPublicURL(const QUuid& id) {
    const QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    const std::optional<QString> url = publicShareURLString(*share);
    if (!url)
        return;
    if (m_clipboard)
        m_clipboard->setText(*url);
    setStatusMessage(QStringLiteral("Copied public URL for %1.").arg(share->displayName()));
}

// Text-addressed forms for the windows; an id that names no share does nothing.
void QuarryShareStore::toggleShare(const QString& id, bool isEnabled) {
    if (const auto uuid = idFromText(id))
        toggleShare(*uuid, isEnabled);
}

void QuarryShareStore::updateSlug(const QString& id, const QString& slug) {
    if (const auto uuid = idFromText(id))
        updateSlug(*uuid, slug);
}

void QuarryShareStore::setPassword(const QString& id, const QString& password) {
    if (const auto uuid = idFromText(id))
        setPassword(*uuid, password);
}

void QuarryShareStore::removePassword(const QString& id) {
    if (const auto uuid = idFromText(id))
        removePassword(*uuid);
}

void QuarryShareStore::removeShare(const QString& id) {
    if (const auto uuid = idFromText(id))
        removeShare(*uuid);
}

void QuarryShareStore::copyURL(const QString& id) {
    if (const auto uuid = idFromText(id))
        copyURL(*uuid);
}

void QuarryShareStore::copyPublicURL(const QString& id) {
    if (const auto uuid = idFromText(id))
        copyPublicURL(*uuid);
}
