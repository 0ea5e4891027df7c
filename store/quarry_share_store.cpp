#include "store/quarry_share_store.h"

#include "core/app_paths.h"
#include "core/mailbox.h"
#include "core/text_order.h"
#include "store/system_wake.h"

#include <QSettings>
#include <QStandardPaths>

#include <algorithm>

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
    m_webServer = std::make_unique<QuarryShareWebServer>();
    m_tunnelService = std::make_unique<QuarryShareTunnelService>();

    m_recoveryTimer = new QTimer(this);
    m_recoveryTimer->setSingleShot(true);
    connect(m_recoveryTimer, &QTimer::timeout, this, &QuarryShareStore::restartServer);
    m_failureAlertTimer = new QTimer(this);
    m_failureAlertTimer->setSingleShot(true);
    connect(m_failureAlertTimer, &QTimer::timeout, this, [this] {
        if (!isServerRunning())
            setErrorMessage(m_pendingAlertMessage);
    });

    if (const auto stored = appearanceModeFromRaw(preferences().value(appearanceModeDefaultsKey).toString()))
        m_appearanceMode = *stored;

    load();
    mergeImportedQuarryFolders();
    setAvailableOrigins(localOrigins(m_appState.port));

    // Reports arrive on the server's thread (or inside stop()); handle them on the main thread.
    auto* serverReports = new QuarryMailbox(this);
    m_webServer->setStateHandler([this, serverReports](const QuarryShareWebServer::State& state) {
        serverReports->post([this, state] { handleServerStateChange(state); });
    });
    m_tunnelService->setStatusHandler(
        [this](const QuarryShareTunnelService::Status& status) { setPublicTunnelStatus(status); });

    m_wakeWatcher = new QuarrySystemWakeWatcher(this);
    connect(m_wakeWatcher, &QuarrySystemWakeWatcher::woke, this, &QuarryShareStore::handleSystemWake);

    connect(this, &QuarryShareStore::appStateChanged, this, &QuarryShareStore::sharesChanged);
    connect(this, &QuarryShareStore::availableOriginsChanged, this, &QuarryShareStore::sharesChanged);
    connect(this, &QuarryShareStore::appStateChanged, this,
            &QuarryShareStore::publicTunnelRequirementsChanged);
    connect(this, &QuarryShareStore::sharesChanged, this, &QuarryShareStore::selectedShareChanged);
    connect(this, &QuarryShareStore::selectedShareIDChanged, this, &QuarryShareStore::selectedShareChanged);
}

QuarryShareStore::~QuarryShareStore() {
    // The server thread must end before this object does: its reports are posted to it.
    m_webServer->setStateHandler({});
    m_webServer.reset();
    m_tunnelService->setStatusHandler({});
    m_tunnelService.reset();
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
    restartServer();
    resumePublicTunnelIfNeeded();
}

void QuarryShareStore::refreshImportedFolders() {
    mergeImportedQuarryFolders();
    restartServer();
}

QuarryShareServerSnapshot QuarryShareStore::currentSnapshot() const {
    QuarryShareServerSnapshot snapshot;
    snapshot.appName = QString::fromLatin1(appName);
    snapshot.shares = m_appState.shares;
    return snapshot;
}

void QuarryShareStore::ensureServerRunning(int delayMilliseconds) {
    if (!isServerRunning())
        scheduleServerRecovery(delayMilliseconds);
}

bool QuarryShareStore::isServerRunning() const {
    return m_serverState.kind == QuarryShareWebServer::State::Kind::running;
}

void QuarryShareStore::handleSystemWake() {
    ensureServerRunning(int(m_environment.timings.checkAfterWake.count()));
}

void QuarryShareStore::handleApplicationActivated() {
    ensureServerRunning(0);
    // cloudflared may have been installed while the application was in the background.
    Q_EMIT publicTunnelRequirementsChanged();
}

// Observable properties and their change signals.

void QuarryShareStore::assignAppState(QuarryShareAppState state) {
    m_appState = std::move(state);
    Q_EMIT appStateChanged();
}

void QuarryShareStore::setSelectedShareID(std::optional<QUuid> id) {
    if (m_selectedShareID == id)
        return;
    m_selectedShareID = id;
    Q_EMIT selectedShareIDChanged();
}

void QuarryShareStore::setServerState(const QuarryShareWebServer::State& state) {
    if (m_serverState == state)
        return;
    m_serverState = state;
    Q_EMIT serverStateChanged();
}

void QuarryShareStore::setPublicTunnelStatus(const QuarryShareTunnelService::Status& status) {
    if (m_publicTunnelStatus == status)
        return;
    m_publicTunnelStatus = status;
    Q_EMIT publicTunnelStatusChanged();
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

void QuarryShareStore::setAvailableOrigins(const QStringList& origins) {
    if (m_availableOrigins == origins)
        return;
    m_availableOrigins = origins;
    Q_EMIT availableOriginsChanged();
}

void QuarryShareStore::setAppearanceMode(AppearanceMode mode) {
    if (m_appearanceMode == mode)
        return;
    m_appearanceMode = mode;
    preferences().setValue(appearanceModeDefaultsKey, rawValue(mode));
    Q_EMIT appearanceModeChanged();
}

bool QuarryShareStore::isAppearanceModeSelected(const QString& mode) const {
    return appearanceModeFromRaw(mode) == m_appearanceMode;
}

void QuarryShareStore::setAppearanceModeRaw(const QString& raw) {
    if (const auto mode = appearanceModeFromRaw(raw))
        setAppearanceMode(*mode);
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

// Adaptors for the windows: records as the maps QML reads.

QVariantMap QuarryShareStore::shareItem(const QuarryFolderShare& share) const {
    return {
        {QStringLiteral("id"), uuidText(share.id)},
        {QStringLiteral("name"), share.name},
        {QStringLiteral("displayName"), share.displayName()},
        {QStringLiteral("path"), share.path},
        {QStringLiteral("urlSlug"), share.urlSlug},
        {QStringLiteral("isEnabled"), share.isEnabled},
        {QStringLiteral("isPasswordProtected"), share.isPasswordProtected()},
        {QStringLiteral("source"), rawValue(share.source)},
        {QStringLiteral("sourceTitle"), title(share.source)},
        {QStringLiteral("shareURL"), shareURLString(share)},
        {QStringLiteral("localURLs"), localURLStrings(share)},
        {QStringLiteral("publicShareURL"), publicShareURLString(share).value_or(QString())},
    };
}

QStringList QuarryShareStore::localURLStrings(const QuarryFolderShare& share) const {
    QStringList urls;
    for (const QString& origin : m_availableOrigins)
        urls.append(origin + share.urlSlug + QLatin1Char('/'));
    return urls;
}

QVariantList QuarryShareStore::shareItems(const QList<QuarryFolderShare>& shares) const {
    QVariantList items;
    for (const QuarryFolderShare& share : shares)
        items.append(shareItem(share));
    return items;
}

QString QuarryShareStore::selectedShareIDText() const {
    return m_selectedShareID ? uuidText(*m_selectedShareID) : QString();
}

void QuarryShareStore::setSelectedShareIDText(const QString& id) {
    setSelectedShareID(idFromText(id));
}

QVariantMap QuarryShareStore::selectedShareItem() const {
    const auto share = selectedShare();
    return share ? shareItem(*share) : QVariantMap();
}

QString QuarryShareStore::serverStateName() const {
    switch (m_serverState.kind) {
    case QuarryShareWebServer::State::Kind::running:
        return QStringLiteral("running");
    case QuarryShareWebServer::State::Kind::failed:
        return QStringLiteral("failed");
    case QuarryShareWebServer::State::Kind::stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

void QuarryShareStore::setErrorMessageText(const QString& text) {
    setErrorMessage(text.isEmpty() ? std::nullopt : std::optional<QString>(text));
}

QString QuarryShareStore::publicTunnelStatusName() const {
    switch (m_publicTunnelStatus.kind) {
    case QuarryShareTunnelService::Status::Kind::preparing:
        return QStringLiteral("preparing");
    case QuarryShareTunnelService::Status::Kind::running:
        return QStringLiteral("running");
    case QuarryShareTunnelService::Status::Kind::failed:
        return QStringLiteral("failed");
    case QuarryShareTunnelService::Status::Kind::stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

std::optional<QUuid> QuarryShareStore::idFromText(const QString& text) {
    return uuidFromText(text);
}

QuarryFolderShare* QuarryShareStore::findShare(const QUuid& id) {
    for (QuarryFolderShare& share : m_appState.shares) {
        if (share.id == id)
            return &share;
    }
    return nullptr;
}
