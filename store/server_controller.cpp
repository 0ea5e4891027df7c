#include "store/server_controller.h"

#include "core/mailbox.h"
#include "server/site/host_names.h"
#include "sources/share_utilities.h"
#include "store/quarry_share_store.h"
#include "store/system_wake.h"

#include <QTimer>

namespace {

constexpr int kLowestPort = 1025;
constexpr int kHighestPort = 65535;
// Names noticed in one session, at most: past that a stranger is making names up.
constexpr qsizetype kMaxNoticedHostNames = 64;
// How long visitors' activity gathers before it is handed to the main thread: the Activity view and
// the log run this far behind at most.
constexpr std::chrono::milliseconds kActivityHandOver{200};

QString reconnectingText(int port) {
    return QStringLiteral("Reconnecting on port %1").arg(port) + QChar(0x2026);
}

} // namespace

QuarryServerController::QuarryServerController(QuarryShareStore& store,
                                               std::unique_ptr<QuarryShareWebServer> server,
                                               QuarryShareStoreEnvironment::ServerTimings timings,
                                               QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_server(std::move(server))
    , m_timings(timings) {
    m_recoveryTimer = new QTimer(this);
    m_recoveryTimer->setSingleShot(true);
    connect(m_recoveryTimer, &QTimer::timeout, this, &QuarryServerController::restartServer);
    m_failureAlertTimer = new QTimer(this);
    m_failureAlertTimer->setSingleShot(true);
    m_activityTimer = new QTimer(this);
    m_activityTimer->setSingleShot(true);
    m_activityTimer->setInterval(kActivityHandOver);
    connect(m_activityTimer, &QTimer::timeout, this, &QuarryServerController::deliverActivity);
    connect(m_failureAlertTimer, &QTimer::timeout, this, [this] {
        if (!isServerRunning())
            m_store.setErrorMessage(m_pendingAlertMessage);
    });
    connect(&m_store, &QuarryShareStore::portChanged, this, &QuarryServerController::portStringChanged);

    setAvailableOrigins(QuarryShareUtilities::localOrigins(m_store.appState().port));

    // Reports arrive on the server's thread (or inside stop()); handle them on the main thread.
    auto* reports = m_reports = new QuarryMailbox(this);
    m_server->setStateHandler([this, reports](const QuarryShareWebServer::State& state) {
        reports->post([this, state] { handleServerStateChange(state); });
    });
    m_server->setRefusedHostNameHandler([this, reports](const QString& name) {
        reports->post([this, name] { handleRefusedHostName(name); });
    });
    // A new public hostname is answered at once; the shares need no restart for it.
    connect(&m_store, &QuarryShareStore::publicTunnelChanged, this, &QuarryServerController::updateSnapshot);
    connect(&m_store, &QuarryShareStore::allowedHostNamesChanged, this, [this] {
        updateSnapshot();
        Q_EMIT allowedHostNamesChanged();
    });

    m_wakeWatcher = new QuarrySystemWakeWatcher(this);
    connect(m_wakeWatcher, &QuarrySystemWakeWatcher::woke, this, &QuarryServerController::handleSystemWake);
}

QuarryServerController::~QuarryServerController() {
    m_server->setStateHandler({});
    m_server->setActivityHandler({});
    m_server->setRefusedHostNameHandler({});
    m_server.reset();
    // What the server told before it ended still reaches the log.
    deliverActivity();
}

bool QuarryServerController::isServerRunning() const {
    return m_state.kind == QuarryShareWebServer::State::Kind::running;
}

QString QuarryServerController::serverStateName() const {
    switch (m_state.kind) {
    case QuarryShareWebServer::State::Kind::running:
        return QStringLiteral("running");
    case QuarryShareWebServer::State::Kind::failed:
        return QStringLiteral("failed");
    case QuarryShareWebServer::State::Kind::stopped:
        break;
    }
    return QStringLiteral("stopped");
}

QString QuarryServerController::servingText(int port) const {
    const qsizetype count = m_store.enabledShares().size();
    return QStringLiteral("Serving %1 folder%2 on port %3.")
        .arg(count)
        .arg(count == 1 ? QString() : QStringLiteral("s"))
        .arg(port);
}

void QuarryServerController::cancelTimers() {
    m_recoveryTimer->stop();
    m_failureAlertTimer->stop();
}

void QuarryServerController::restartServer() {
    cancelTimers();
    const int port = m_store.appState().port;
    setAvailableOrigins(QuarryShareUtilities::localOrigins(port));
    const QuarryResult<void> started = m_server->start(port, m_store.currentSnapshot());
    if (!started) {
        // stop() reports `stopped`, which schedules the retry and the alert.
        m_server->stop();
        m_store.setErrorMessage(started.error().message);
        return;
    }
    m_store.setStatusMessage(servingText(port));
    m_store.setErrorMessage(std::nullopt);
}

void QuarryServerController::handleServerStateChange(const QuarryShareWebServer::State& state) {
    setServerState(state);
    const int port = m_store.appState().port;
    switch (state.kind) {
    case QuarryShareWebServer::State::Kind::running:
        cancelTimers();
        setAvailableOrigins(QuarryShareUtilities::localOrigins(state.port));
        m_store.setStatusMessage(servingText(state.port));
        m_store.setErrorMessage(std::nullopt);
        break;
    case QuarryShareWebServer::State::Kind::failed:
        m_store.setStatusMessage(reconnectingText(port));
        scheduleServerRecovery(m_timings.retryAfterFailure);
        scheduleFailureAlert(state.message);
        break;
    case QuarryShareWebServer::State::Kind::stopped:
        m_store.setStatusMessage(reconnectingText(port));
        scheduleServerRecovery(m_timings.retryAfterStop);
        scheduleFailureAlert(QStringLiteral("brightloom Share stopped listening on port %1.").arg(port));
        break;
    }
}

void QuarryServerController::ensureServerRunning(std::chrono::milliseconds delay) {
    if (!isServerRunning())
        scheduleServerRecovery(delay);
}

void QuarryServerController::handleSystemWake() {
    ensureServerRunning(m_timings.checkAfterWake);
    Q_EMIT systemWoke();
}

void QuarryServerController::setRecordsActivity(bool records) {
    if (!records) {
        m_server->setActivityHandler({});
        return;
    }
    // Told on the server thread, gathered, and handed over here a few times a second in the order told:
    // one hand-over per answer cost the serving thread and this one more than the answer itself.
    m_server->setActivityHandler([this, reports = m_reports](const QuarryActivityEvent& event) {
        {
            const std::lock_guard locker(m_activityLock);
            m_activityBatch.append(event);
            if (m_activityBatch.size() > 1)
                return;
        }
        reports->post([this] { m_activityTimer->start(); });
    });
}

void QuarryServerController::deliverActivity() {
    QList<QuarryActivityEvent> events;
    {
        const std::lock_guard locker(m_activityLock);
        events.swap(m_activityBatch);
    }
    if (!events.isEmpty())
        Q_EMIT activityReported(events);
}

void QuarryServerController::scheduleServerRecovery(std::chrono::milliseconds delay) {
    // Restarting the single-shot timer cancels the pending restart first.
    m_recoveryTimer->start(std::max(delay, std::chrono::milliseconds(0)));
}

void QuarryServerController::scheduleFailureAlert(const QString& message) {
    m_pendingAlertMessage = message;
    m_failureAlertTimer->start(m_timings.failureAlertDelay);
}

void QuarryServerController::setServerState(const QuarryShareWebServer::State& state) {
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT serverStateChanged();
}

void QuarryServerController::setAvailableOrigins(const QStringList& origins) {
    if (m_availableOrigins == origins)
        return;
    m_availableOrigins = origins;
    Q_EMIT availableOriginsChanged();
}

QString QuarryServerController::portString() const {
    return QString::number(m_store.appState().port);
}

void QuarryServerController::setPortString(const QString& text) {
    bool parsed = false;
    const int port = trimmedText(text).toInt(&parsed, 10);
    if (!parsed || port < kLowestPort || port > kHighestPort)
        return;
    m_store.setPort(port);
    setAvailableOrigins(QuarryShareUtilities::localOrigins(port));
}

QStringList QuarryServerController::allowedHostNames() const {
    return m_store.appState().allowedHostNames;
}

void QuarryServerController::allowHostName(const QString& name) {
    const std::optional<QString> host = QuarrySite::normalizedHostName(name.trimmed());
    if (!host)
        return;
    QStringList names = m_store.appState().allowedHostNames;
    if (!names.contains(*host))
        names.append(*host);
    m_store.setAllowedHostNames(names);
    if (m_refusedHostNames.removeAll(*host) > 0)
        Q_EMIT refusedHostNameChanged();
}

void QuarryServerController::removeAllowedHostName(const QString& name) {
    QStringList names = m_store.appState().allowedHostNames;
    names.removeAll(name);
    m_store.setAllowedHostNames(names);
}

void QuarryServerController::dismissRefusedHostName() {
    if (m_refusedHostNames.isEmpty())
        return;
    m_refusedHostNames.removeFirst();
    Q_EMIT refusedHostNameChanged();
}

void QuarryServerController::handleRefusedHostName(const QString& name) {
    if (m_noticedHostNames.contains(name) || m_store.appState().allowedHostNames.contains(name) ||
        m_noticedHostNames.size() >= kMaxNoticedHostNames)
        return;
    m_noticedHostNames.insert(name);
    m_refusedHostNames.append(name);
    if (m_refusedHostNames.size() == 1)
        Q_EMIT refusedHostNameChanged();
}

void QuarryServerController::updateSnapshot() {
    m_server->update(m_store.currentSnapshot());
}
