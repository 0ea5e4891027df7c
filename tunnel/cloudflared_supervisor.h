#pragma once

#include "core/error.h"
#include "tunnel/tunnel_status.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>

class QProcess;

// Runs the reserved tunnel as a `cloudflared` child and reports its condition. Lives on the main thread;
// reports are queued to the handler in the order issued. The kernel ends the child with the application,
// however the application ends.
class QuarryCloudflaredSupervisor : public QObject {
    Q_OBJECT

public:
    using StatusHandler = std::function<void(const QuarryTunnelStatus&)>;

    explicit QuarryCloudflaredSupervisor(QObject* parent = nullptr);
    // Stops a running child and gives it a moment to end before it is killed.
    ~QuarryCloudflaredSupervisor() override;

    // Replaces any current child with a new `cloudflared` that gets the token through its environment.
    // Reports stopped, preparing and, once launched, running(hostname).
    QuarryResult<void> start(const QString& token, const QString& hostname);
    // Asks the current child to end (SIGTERM) without reporting its exit; reports stopped.
    void stop();

    // Reports issued from now on go to this handler, each one queued and in order.
    void setStatusHandler(StatusHandler handler);
    // Drops every report issued so far that has not reached the handler yet.
    void discardPendingReports();

    // The first candidate that is a file executable by this user.
    std::optional<QString> cloudflaredExecutableURL() const;
    void setCloudflaredCandidates(const QStringList& paths);
    // Beside the application's executable, then the usual install locations.
    static QStringList defaultCloudflaredCandidates();

private:
    void handleExit(QProcess* child, int exitCode);
    void retire(QProcess* child);
    void endChildrenForGood();
    void notify(const QuarryTunnelStatus& status);

    QProcess* m_process = nullptr;
    QStringList m_candidates;
    StatusHandler m_statusHandler;
    quint64 m_nextReport = 0;
    quint64 m_firstDeliverableReport = 0;
};
