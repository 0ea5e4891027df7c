#include "store/quarry_share_store.h"

#include "core/app_paths.h"
#include "core/text_order.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

QList<QuarryFolderShare> sortedByDisplayName(QList<QuarryFolderShare> shares) {
    sortByDisplayName(shares);
    return shares;
}

QList<QuarryFolderShare> withSource(const QList<QuarryFolderShare>& shares, QuarryShareSource source) {
    QList<QuarryFolderShare> result;
    std::copy_if(shares.begin(), shares.end(), std::back_inserter(result),
                 [source](const QuarryFolderShare& share) { return share.source == source; });
    return result;
}

QSettings preferences() {
    return QSettings(QuarryShareStore::preferencesFilePath(), QSettings::IniFormat);
}

} // namespace

QuarryShareStore::QuarryShareStore(QuarryShareStoreEnvironment environment, QObject* parent)
    : QObject(parent)
    , m_environment(std::move(environment)) {
    m_persistenceURL = QuarryShareUtilities::appStateURL();
    std::unique_ptr<QuarryShareWebServer> webServer = std::move(m_environment.webServer);
    if (!webServer)
        webServer = std::make_unique<QuarryShareWebServer>();
    std::unique_ptr<QuarryShareTunnelService> tunnelService = std::move(m_environment.tunnelService);
    if (!tunnelService)
        tunnelService = std::make_unique<QuarryShareTunnelService>();

    if (const auto stored = appearanceModeFromRaw(preferences().value(appearanceModeDefaultsKey).toString()))
        m_appearanceMode = *stored;

    load();
    mergeImportedQuarryFolders();
    // A share whose end passed while the application was not running never starts serving.
    m_endTimer = new QTimer(this);
    m_endTimer->setSingleShot(true);
    m_endTimer->setTimerType(Qt::PreciseTimer);
    connect(m_endTimer, &QTimer::timeout, this, &QuarryShareStore::endExpiredShares);
    endExpiredShares();

    m_activity = new QuarryActivityLog(QFileInfo(m_persistenceURL).absolutePath(),
                                       preferences().value(recordsActivityDefaultsKey, true).toBool(), this);
    m_server = new QuarryServerController(*this, std::move(webServer), m_environment.timings, this);
    m_server->setRecordsActivity(m_activity->isRecording());
    connect(m_server, &QuarryServerController::activityReported, m_activity, &QuarryActivityLog::addAll);
    m_activity->setShareNamer([this](const QUuid& id) {
        const QuarryFolderShare* share = findShare(id);
        return share ? share->displayName() : QString();
    });
    m_activity->setTotalsSince(preferences().value(activityTotalsSinceDefaultsKey).toDateTime());
    connect(m_activity, &QuarryActivityLog::totalsReset, this,
            [](const QDateTime& since) { preferences().setValue(activityTotalsSinceDefaultsKey, since); });
    m_publicLink =
        new QuarryPublicLinkController(*this, std::move(tunnelService), m_environment.computerName, this);
    m_importedShares = new QuarryShareListModel(*this, QuarryShareSource::quarry, this);
    m_customShares = new QuarryShareListModel(*this, QuarryShareSource::custom, this);
    for (QuarryShareListModel* list : {m_importedShares, m_customShares}) {
        connect(this, &QuarryShareStore::sharesChanged, list, &QuarryShareListModel::refresh);
        connect(this, &QuarryShareStore::publicTunnelChanged, list, &QuarryShareListModel::refresh);
        connect(m_server, &QuarryServerController::availableOriginsChanged, list,
                &QuarryShareListModel::refresh);
    }
    connect(this, &QuarryShareStore::sharesChanged, this, &QuarryShareStore::updateSelectedShare);
    connect(this, &QuarryShareStore::publicTunnelChanged, this, &QuarryShareStore::updateSelectedShare);
    connect(this, &QuarryShareStore::selectedShareIDChanged, this, &QuarryShareStore::updateSelectedShare);
    connect(m_server, &QuarryServerController::availableOriginsChanged, this,
            &QuarryShareStore::updateSelectedShare);
    connect(m_server, &QuarryServerController::systemWoke, this, &QuarryShareStore::endExpiredShares);
    updateSelectedShare();
}

QuarryShareStore::~QuarryShareStore() {
    // The controllers go first, with the server's thread and the cloudflared child: both read the store.
    delete m_publicLink;
    m_publicLink = nullptr;
    delete m_server;
    m_server = nullptr;
    // Then the log, with what it still has to write.
    delete m_activity;
    m_activity = nullptr;
}

QString QuarryShareStore::preferencesFilePath() {
    // Where QSettings("brightloom", "brightloom Share") keeps it, found anew each time: QSettings fixes
    // its own idea of the configuration folder at its first use in the process.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/brightloom/brightloom Share.conf");
}

void QuarryShareStore::setFolderChooser(QuarryFolderChooser* chooser) {
    m_folderChooser = chooser;
}

void QuarryShareStore::setClipboard(QuarryClipboard* clipboard) {
    m_clipboard = clipboard;
}

void QuarryShareStore::start() {
    for (const QString& name : std::exchange(m_endedBeforeStart, {}))
        Q_EMIT shareEnded(name);
    m_server->restartServer();
    m_publicLink->resumePublicTunnelIfNeeded();
}

void QuarryShareStore::refreshImportedFolders() {
    mergeImportedQuarryFolders();
    m_server->restartServer();
}

void QuarryShareStore::handleApplicationActivated() {
    m_server->ensureServerRunning(std::chrono::milliseconds(0));
    // cloudflared may have been installed while the application was in the background.
    m_publicLink->refreshRequirements();
}

QuarryShareServerSnapshot QuarryShareStore::currentSnapshot() const {
    QuarryShareServerSnapshot snapshot;
    snapshot.appName = QString::fromLatin1(appName);
    snapshot.shares = m_appState.shares;
    snapshot.hostNames = m_appState.allowedHostNames;
    if (m_appState.publicTunnel.hostname && !m_appState.publicTunnel.hostname->isEmpty())
        snapshot.hostNames.append(m_appState.publicTunnel.hostname->toLower());
    return snapshot;
}

// Observable state and its change signals, each emitted only when its value changed.

void QuarryShareStore::setSelectedShareID(std::optional<QUuid> id) {
    if (m_selectedShareID == id)
        return;
    m_selectedShareID = id;
    Q_EMIT selectedShareIDChanged();
}

void QuarryShareStore::updateSelectedShare() {
    // The server controller exists once construction has loaded the state.
    if (!m_server)
        return;
    const std::optional<QuarryFolderShare> share = selectedShare();
    QVariantMap item = share ? QuarryShareListModel::item(*this, *share) : QVariantMap();
    if (item == m_selectedShareItem)
        return;
    m_selectedShareItem = std::move(item);
    Q_EMIT selectedShareChanged();
}

void QuarryShareStore::setStatusMessage(std::optional<QString> message) {
    if (m_statusMessage == message)
        return;
    m_statusMessage = std::move(message);
    Q_EMIT statusMessageChanged();
}

void QuarryShareStore::setErrorMessage(std::optional<QString> message) {
    if (m_errorMessage == message)
        return;
    m_errorMessage = std::move(message);
    Q_EMIT errorMessageChanged();
}

void QuarryShareStore::setAppearanceMode(const QString& mode) {
    const std::optional<AppearanceMode> chosen = appearanceModeFromRaw(mode);
    if (!chosen || *chosen == m_appearanceMode)
        return;
    m_appearanceMode = *chosen;
    preferences().setValue(appearanceModeDefaultsKey, rawValue(*chosen));
    Q_EMIT appearanceModeChanged();
}

bool QuarryShareStore::recordsActivity() const {
    return m_activity->isRecording();
}

void QuarryShareStore::setRecordsActivity(bool records) {
    if (records == m_activity->isRecording())
        return;
    preferences().setValue(recordsActivityDefaultsKey, records);
    m_server->setRecordsActivity(records);
    m_activity->setRecording(records);
    Q_EMIT recordsActivityChanged();
}

bool QuarryShareStore::notifiesDownloads() const {
    return preferences().value(notifiesDownloadsDefaultsKey, true).toBool();
}

void QuarryShareStore::setNotifiesDownloads(bool notifies) {
    if (notifies == notifiesDownloads())
        return;
    preferences().setValue(notifiesDownloadsDefaultsKey, notifies);
    Q_EMIT notifiesDownloadsChanged();
}

bool QuarryShareStore::isAppearanceModeSelected(const QString& mode) const {
    return appearanceModeFromRaw(mode) == m_appearanceMode;
}

void QuarryShareStore::setPort(int port) {
    const bool changed = m_appState.port != port;
    m_appState.port = port;
    if (changed)
        Q_EMIT portChanged();
    save();
}

void QuarryShareStore::changePublicTunnel(const std::function<void(QuarrySharePublicTunnel&)>& change,
                                          Saving saving) {
    QuarrySharePublicTunnel tunnel = m_appState.publicTunnel;
    change(tunnel);
    const bool changed = !(tunnel == m_appState.publicTunnel);
    m_appState.publicTunnel = std::move(tunnel);
    if (changed)
        Q_EMIT publicTunnelChanged();
    if (saving == Saving::now)
        save();
}

void QuarryShareStore::setAllowedHostNames(const QStringList& names) {
    if (m_appState.allowedHostNames == names)
        return;
    m_appState.allowedHostNames = names;
    save();
    Q_EMIT allowedHostNamesChanged();
}

// Views derived from the state on every read, never stored.

QList<QuarryFolderShare> QuarryShareStore::importedShares() const {
    return sortedByDisplayName(withSource(m_appState.shares, QuarryShareSource::quarry));
}

QList<QuarryFolderShare> QuarryShareStore::customShares() const {
    return sortedByDisplayName(withSource(m_appState.shares, QuarryShareSource::custom));
}

QList<QuarryFolderShare> QuarryShareStore::allShares() const {
    return importedShares() + customShares();
}

QList<QuarryFolderShare> QuarryShareStore::enabledShares() const {
    QList<QuarryFolderShare> result;
    std::copy_if(m_appState.shares.begin(), m_appState.shares.end(), std::back_inserter(result),
                 [](const QuarryFolderShare& share) { return share.isEnabled; });
    return result;
}

std::optional<QuarryFolderShare> QuarryShareStore::selectedShare() const {
    if (m_selectedShareID) {
        for (const QuarryFolderShare& share : m_appState.shares) {
            if (share.id == *m_selectedShareID)
                return share;
        }
    }
    const QList<QuarryFolderShare> all = allShares();
    if (all.isEmpty())
        return std::nullopt;
    return all.first();
}

// Adaptors for the windows.

QString QuarryShareStore::selectedShareIDText() const {
    return m_selectedShareID ? uuidText(*m_selectedShareID) : QString();
}

void QuarryShareStore::setSelectedShareIDText(const QString& id) {
    setSelectedShareID(uuidFromText(id));
}

void QuarryShareStore::setErrorMessageText(const QString& text) {
    setErrorMessage(text.isEmpty() ? std::nullopt : std::optional<QString>(text));
}

QuarryFolderShare* QuarryShareStore::findShare(const QUuid& id) {
    for (QuarryFolderShare& share : m_appState.shares) {
        if (share.id == id)
            return &share;
    }
    return nullptr;
}
