#pragma once

#include "server/web_server.h"
#include "store/store_environment.h"

#include <QObject>
#include <QSet>
#include <QStringList>

#include <chrono>
#include <memory>
#include <mutex>

class QTimer;
class QuarryShareStore;
class QuarrySystemWakeWatcher;
class QuarryMailbox;

// Keeps the store's web server running on the configured port: starts and restarts it with the store's
// shares, follows its reports, retries by itself after a failure and raises an alert only when the
// server stays down, checks again after the computer wakes. Lives on the main thread; the server's
// reports reach it from the server thread through a mailbox.
class QuarryServerController : public QObject {
    Q_OBJECT
    // "running", "failed" or "stopped".
    Q_PROPERTY(QString serverStateName READ serverStateName NOTIFY serverStateChanged)
    // The port listened on while running.
    Q_PROPERTY(int serverPort READ serverPort NOTIFY serverStateChanged)
    Q_PROPERTY(QString portString READ portString WRITE setPortString NOTIFY portStringChanged)
    Q_PROPERTY(QStringList availableOrigins READ availableOrigins NOTIFY availableOriginsChanged)
    // The host names the user added for the server to answer besides its own, in the order added.
    Q_PROPERTY(QStringList allowedHostNames READ allowedHostNames NOTIFY allowedHostNamesChanged)
    // A name a visitor used that the server refused, for the main window's notice; "" when none waits.
    Q_PROPERTY(QString refusedHostName READ refusedHostName NOTIFY refusedHostNameChanged)

public:
    QuarryServerController(QuarryShareStore& store, std::unique_ptr<QuarryShareWebServer> server,
                           QuarryShareStoreEnvironment::ServerTimings timings, QObject* parent = nullptr);
    // The server thread ends before this object does: its reports are posted to it.
    ~QuarryServerController() override;

    QuarryShareWebServer::State serverState() const { return m_state; }
    bool isServerRunning() const;
    QStringList availableOrigins() const { return m_availableOrigins; }

    // (Re)starts the server with the store's current shares and port.
    Q_INVOKABLE void restartServer();
    void handleServerStateChange(const QuarryShareWebServer::State& state);
    // Schedules a restart after `delay` unless the server is running.
    void ensureServerRunning(std::chrono::milliseconds delay);
    void handleSystemWake();
    // Whether the server tells of what visitors fetch (activityReported); off by default.
    void setRecordsActivity(bool records);

    QStringList allowedHostNames() const;
    QString refusedHostName() const { return m_refusedHostNames.value(0); }
    // Adds a host name (any case, a trailing dot ignored); text that is no host name is ignored. The
    // server answers it at once, without a restart.
    Q_INVOKABLE void allowHostName(const QString& name);
    Q_INVOKABLE void removeAllowedHostName(const QString& name);
    // Puts the notice of the refused name away; the next one waiting, if any, takes its place.
    Q_INVOKABLE void dismissRefusedHostName();
    // The server refused a name: noticed once per name while the application runs.
    void handleRefusedHostName(const QString& name);
    // Hands the server the store's current snapshot (names it answers, shares) without a restart.
    void updateSnapshot();

    // The port as the settings window edits it: text of 1025 to 65535 is kept (and saved), anything else
    // is ignored. The server moves to a new port only at its next restart.
    QString portString() const;
    void setPortString(const QString& text);

Q_SIGNALS:
    void serverStateChanged();
    void availableOriginsChanged();
    void portStringChanged();
    // The computer woke from sleep: clocks may have jumped past what timers wait for.
    void systemWoke();
    // What the server told of visitors since the last time, oldest first.
    void activityReported(const QList<QuarryActivityEvent>& events);
    void allowedHostNamesChanged();
    void refusedHostNameChanged();

private:
    QString serverStateName() const;
    int serverPort() const { return m_state.port; }
    QString servingText(int port) const;
    void scheduleServerRecovery(std::chrono::milliseconds delay);
    void scheduleFailureAlert(const QString& message);
    void cancelTimers();
    void setServerState(const QuarryShareWebServer::State& state);
    void setAvailableOrigins(const QStringList& origins);
    void deliverActivity();

    QuarryShareStore& m_store;
    std::unique_ptr<QuarryShareWebServer> m_server;
    QuarryShareStoreEnvironment::ServerTimings m_timings;
    QuarryShareWebServer::State m_state = QuarryShareWebServer::State::stopped();
    QStringList m_availableOrigins;
    QTimer* m_recoveryTimer = nullptr;
    QTimer* m_failureAlertTimer = nullptr;
    QString m_pendingAlertMessage;
    QuarrySystemWakeWatcher* m_wakeWatcher = nullptr;
    QuarryMailbox* m_reports = nullptr;
    QTimer* m_activityTimer = nullptr;
    // Activity told on the server thread, waiting for the timer.
    std::mutex m_activityLock;
    QList<QuarryActivityEvent> m_activityBatch;
    // The refused names waiting for the notice, the first one shown; and every name noticed so far.
    QStringList m_refusedHostNames;
    QSet<QString> m_noticedHostNames;
};
