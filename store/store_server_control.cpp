#include "store/quarry_share_store.h"

#include "sources/share_utilities.h"

namespace {

constexpr int kLowestPort = 1025;
constexpr int kHighestPort = 65535;

QString reconnectingText(int port) {
    return QStringLiteral("Reconnecting on port %1").arg(port) + QChar(0x2026);
}

} // namespace

QString QuarryShareStore::servingText(int port) const {
    const qsizetype count = enabledShares().size();
    return QStringLiteral("Serving %1 folder%2 on port %3.")
        .arg(count)
        .arg(count == 1 ? QString() : QStringLiteral("s"))
        .arg(port);
}

QStringList QuarryShareStore::localOrigins(int port) const {
    return QuarryShareUtilities::localOrigins(port);
}

void QuarryShareStore::cancelTimers() {
    m_recoveryTimer->stop();
    m_failureAlertTimer->stop();
}

void QuarryShareStore::restartServer() {
    cancelTimers();
    setAvailableOrigins(localOrigins(m_appState.port));
    const QuarryResult<void> started = m_webServer->start(m_appState.port, currentSnapshot());
    if (!started) {
        // stop() reports `stopped`, which schedules the retry and the alert.
        m_webServer->stop();
        setErrorMessage(started.error().message);
        return;
    }
    setStatusMessage(servingText(m_appState.port));
    setErrorMessage(std::nullopt);
}

void QuarryShareStore::handleServerStateChange(const QuarryShareWebServer::State& state) {
    setServerState(state);
    switch (state.kind) {
    case QuarryShareWebServer::State::Kind::running:
        cancelTimers();
        setAvailableOrigins(localOrigins(state.port));
        setStatusMessage(servingText(state.port));
        setErrorMessage(std::nullopt);
        break;
    case QuarryShareWebServer::State::Kind::failed:
        setStatusMessage(reconnectingText(m_appState.port));
        scheduleServerRecovery(int(m_environment.timings.retryAfterFailure.count()));
        scheduleFailureAlert(state.message);
        break;
    case QuarryShareWebServer::State::Kind::stopped:
        setStatusMessage(reconnectingText(m_appState.port));
        scheduleServerRecovery(int(m_environment.timings.retryAfterStop.count()));
        scheduleFailureAlert(
            QStringLiteral("brightloom Share stopped listening on port %1.").arg(m_appState.port));
        break;
    }
}

void QuarryShareStore::scheduleServerRecovery(int delayMilliseconds) {
    // Restarting the single-shot timer cancels the pending restart first.
    m_recoveryTimer->start(qMax(0, delayMilliseconds));
}

void QuarryShareStore::scheduleFailureAlert(const QString& message) {
    m_pendingAlertMessage = message;
    m_failureAlertTimer->start(m_environment.timings.failureAlertDelay);
}

QString QuarryShareStore::portString() const {
    return QString::number(m_appState.port);
}

void QuarryShareStore::setPortString(const QString& text) {
    bool parsed = false;
    const int port = trimmedText(text).toInt(&parsed, 10);
    if (!parsed || port < kLowestPort || port > kHighestPort)
        return;
    m_appState.port = port;
    Q_EMIT appStateChanged();
    setAvailableOrigins(localOrigins(port));
    save();
}
