#pragma once

#include "core/error.h"
#include "tunnel/broker_protocol.h"

#include <QObject>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QProcess;

// The public link's two outside parties: the tunnel broker (asked whether a subdomain is free and
// asked to reserve it) and the `cloudflared` child that carries the reserved tunnel. Lives on the
// main thread; every callback and status report arrives there from the event loop.
class QuarryShareTunnelService : public QObject {
    Q_OBJECT

public:
    struct Status {
        enum class Kind { preparing, running, failed, stopped };
        Kind kind = Kind::stopped;
        QString text; // the hostname when running, the message when failed

        // "Starting", "Online", "Needs attention", "Off".
        QString label() const;
        static Status preparing();
        static Status running(const QString& hostname);
        static Status failed(const QString& message);
        static Status stopped();
        bool operator==(const Status&) const = default;
    };
    using StatusHandler = std::function<void(const Status&)>;

    // Without a session the service makes its own network access manager.
    explicit QuarryShareTunnelService(QNetworkAccessManager* session = nullptr, QObject* parent = nullptr);
    // Stops a running child and gives it a moment to end before it is killed.
    ~QuarryShareTunnelService() override;

    // Broker operations. `done` runs later from the event loop, never inside the call, and not at all
    // once the service is gone.
    void checkAvailability(const QUrl& brokerURL, const QString& requestedSubdomain,
                           std::function<void(QuarryResult<AvailabilityResponse>)> done);
    void reserveTunnel(const QUrl& brokerURL, const QString& requestedSubdomain, int localPort,
                       const QString& installationID,
                       std::function<void(QuarryResult<ReservationResponse>)> done);

    // Replaces any current child with a new `cloudflared` that gets the token through its environment.
    // Reports stopped, preparing and, once launched, running(hostname).
    QuarryResult<void> start(const QString& token, const QString& hostname);
    // Asks the current child to end (SIGTERM) without reporting its exit; reports stopped.
    void stop();

    // Reports issued from now on go to this handler, each one queued and in order.
    void setStatusHandler(StatusHandler handler);
    // Drops every report issued so far that has not reached the handler yet. The store calls it right
    // before it sets a status of its own (a failure), so older queued reports cannot overwrite it.
    void discardPendingReports();

    // The first candidate that is a file executable by this user.
    std::optional<QString> cloudflaredExecutableURL() const;
    void setCloudflaredCandidates(const QStringList& paths);
    // Beside the application's executable, then the usual install locations.
    static QStringList defaultCloudflaredCandidates();

    // Idle time after which a broker request gives up; 60 s unless changed.
    void setTransferTimeout(std::chrono::milliseconds timeout);

private:
    void send(QNetworkRequest request, const QByteArray& body, bool post,
              std::function<void(QuarryResult<QByteArray>)> done);
    QuarryResult<QByteArray> answerOf(QNetworkReply* reply, bool oversized) const;
    void abandonRequests();
    void handleExit(QProcess* child, int exitCode);
    void retire(QProcess* child);
    void endChildrenForGood();
    void notify(const Status& status);

    QNetworkAccessManager* m_session = nullptr;
    QSet<QNetworkReply*> m_replies;
    std::chrono::milliseconds m_transferTimeout{std::chrono::seconds(60)};

    QProcess* m_process = nullptr;
    QStringList m_candidates;

    StatusHandler m_statusHandler;
    quint64 m_nextReport = 0;
    quint64 m_firstDeliverableReport = 0;
};
