#include "store/quarry_share_store.h"

#include "core/password_digest.h"
#include "core/paths.h"
#include "sources/share_utilities.h"

#include <QPointer>
#include <QSet>
#include <QTimer>

#include <algorithm>

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

void QuarryShareStore::sharesEdited() {
    Q_EMIT sharesChanged();
    save();
    m_server->restartServer();
}

void QuarryShareStore::addCustomFolder() {
    if (!m_folderChooser)
        return;
    QPointer<QuarryShareStore> self(this);
    m_folderChooser->chooseFolder([self](std::optional<QString> path) {
        if (self && path && !path->isEmpty())
            self->addChosenFolder(*path);
    });
}

void QuarryShareStore::addChosenFolder(const QString& chosenPath) {
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
    Q_EMIT sharesChanged();
    setSelectedShareID(m_appState.shares.last().id);
    save();
    m_server->restartServer();
}

void QuarryShareStore::toggleShare(const QUuid& id, bool isEnabled) {
    QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    share->isEnabled = isEnabled;
    // Switched on again after its end, a share is shared until it is switched off.
    if (isEnabled && share->availableUntil && *share->availableUntil <= QDateTime::currentDateTimeUtc())
        share->availableUntil.reset();
    sharesEdited();
    scheduleNextEnd();
}

QString QuarryShareStore::endFieldText(const QDateTime& end) {
    return end.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

void QuarryShareStore::setAvailableUntil(const QUuid& id, std::optional<QDateTime> end) {
    QuarryFolderShare* share = findShare(id);
    if (!share || share->availableUntil == end)
        return;
    if (end && *end <= QDateTime::currentDateTimeUtc()) {
        setErrorMessage(QStringLiteral("Pick a time that has not passed yet."));
        return;
    }
    share->availableUntil = end ? std::optional<QDateTime>(end->toUTC()) : std::nullopt;
    // Only what visitors are told changes; the server restarts with it like any other edit.
    sharesEdited();
    scheduleNextEnd();
}

void QuarryShareStore::setAvailableFor(const QUuid& id, int seconds) {
    // Whole minutes, as the field shows them.
    QDateTime end = QDateTime::currentDateTimeUtc().addSecs(seconds);
    end.setTime(QTime(end.time().hour(), end.time().minute()));
    setAvailableUntil(id, end.addSecs(60));
}

void QuarryShareStore::setAvailableUntilText(const QUuid& id, const QString& text) {
    const QString trimmed = trimmedText(text);
    if (trimmed.isEmpty()) {
        setAvailableUntil(id, std::nullopt);
        return;
    }
    const QDateTime end = QDateTime::fromString(trimmed, QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!end.isValid()) {
        setErrorMessage(QStringLiteral("Enter the end as a date and time, like 2026-12-24 18:00."));
        return;
    }
    setAvailableUntil(id, end);
}

void QuarryShareStore::clearAvailableUntil(const QUuid& id) {
    setAvailableUntil(id, std::nullopt);
}

void QuarryShareStore::endExpiredShares() {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QStringList ended;
    for (QuarryFolderShare& share : m_appState.shares) {
        if (share.isEnabled && share.availableUntil && *share.availableUntil <= now) {
            share.isEnabled = false;
            ended.append(share.displayName());
        }
    }
    if (!ended.isEmpty()) {
        Q_EMIT sharesChanged();
        save();
        // Construction comes here before the server exists; the first start serves what is left.
        if (m_server) {
            m_server->restartServer();
            for (const QString& name : ended)
                Q_EMIT shareEnded(name);
        } else {
            m_endedBeforeStart += ended;
        }
    }
    scheduleNextEnd();
}

void QuarryShareStore::scheduleNextEnd() {
    std::optional<QDateTime> nearest;
    for (const QuarryFolderShare& share : m_appState.shares) {
        if (share.isEnabled && share.availableUntil && (!nearest || *share.availableUntil < *nearest))
            nearest = share.availableUntil;
    }
    if (!nearest) {
        m_endTimer->stop();
        return;
    }
    // The timer counts on a clock that stops while the computer sleeps: look again at least every ten
    // minutes, besides the check after waking.
    const qint64 wait = QDateTime::currentDateTimeUtc().msecsTo(*nearest);
    m_endTimer->start(int(std::clamp<qint64>(wait, 0, 10 * 60 * 1000)));
}

void QuarryShareStore::updateSlug(const QUuid& id, const QString& slug) {
    QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    // uniqueSlug slugs its seed; the other shares' slugs are the taken set.
    share->urlSlug = nextUniqueSlug(QuarryShareUtilities::slugify(slug), id);
    sharesEdited();
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
    sharesEdited();
    setStatusMessage(QStringLiteral("Password enabled for %1.").arg(name));
}

void QuarryShareStore::removePassword(const QUuid& id) {
    QuarryFolderShare* share = findShare(id);
    if (!share)
        return;
    share->passwordSalt.reset();
    share->passwordDigest.reset();
    const QString name = share->displayName();
    sharesEdited();
    setStatusMessage(QStringLiteral("Password removed for %1.").arg(name));
}

void QuarryShareStore::removeShare(const QUuid& id) {
    const QuarryFolderShare* share = findShare(id);
    if (!share || share->source != QuarryShareSource::custom)
        return;
    m_appState.shares.removeIf([&](const QuarryFolderShare& candidate) { return candidate.id == id; });
    Q_EMIT sharesChanged();
    if (m_selectedShareID == id)
        setSelectedShareID(m_appState.shares.isEmpty() ? std::nullopt
                                                       : std::optional<QUuid>(m_appState.shares.first().id));
    save();
    m_server->restartServer();
}

QString QuarryShareStore::shareURLString(const QuarryFolderShare& share) const {
    const QStringList origins = m_server->availableOrigins();
    const QString base = origins.isEmpty() ? QStringLiteral("/") : origins.first();
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
    const QStringList origins = m_server->availableOrigins();
    if (!share || origins.isEmpty())
        return;
    if (m_clipboard)
        m_clipboard->setText(origins.first() + share->urlSlug + QLatin1Char('/'));
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
