#pragma once

#include "core/error.h"
#include "tunnel/broker_client.h"
#include "tunnel/cloudflared_supervisor.h"
#include "tunnel/tunnel_status.h"

#include <QObject>

// The public link's two outside parties behind one object: the tunnel broker (asked whether a
// subdomain is free and asked to reserve it) and the `cloudflared` child that carries the reserved
// tunnel. Lives on the main thread; every callback and status report arrives there from the event loop.
class QuarryShareTunnelService : public QObject {
    Q_OBJECT

public:
    using Status = QuarryTunnelStatus;
    using StatusHandler = QuarryCloudflaredSupervisor::StatusHandler;

    // Without a session the broker client makes its own network access manager.
    explicit QuarryShareTunnelService(QNetworkAccessManager* session = nullptr, QObject* parent = nullptr);

    // Broker operations; see QuarryTunnelBrokerClient.
    void checkAvailability(const QUrl& brokerURL, const QString& requestedSubdomain,
                           std::function<void(QuarryResult<QuarryTunnelBroker::AvailabilityResponse>)> done) {
        m_broker.checkAvailability(brokerURL, requestedSubdomain, std::move(done));
    }
    void reserveTunnel(const QUrl& brokerURL, const QString& requestedSubdomain, int localPort,
                       const QString& installationID,
                       std::function<void(QuarryResult<QuarryTunnelBroker::ReservationResponse>)> done) {
        m_broker.reserveTunnel(brokerURL, requestedSubdomain, localPort, installationID, std::move(done));
    }

    // The child; see QuarryCloudflaredSupervisor.
    QuarryResult<void> start(const QString& token, const QString& hostname) {
        return m_cloudflared.start(token, hostname);
    }
    void stop() { m_cloudflared.stop(); }
    void setStatusHandler(StatusHandler handler) { m_cloudflared.setStatusHandler(std::move(handler)); }
    // The store calls it right before it sets a status of its own (a failure), so older queued reports
    // cannot overwrite it.
    void discardPendingReports() { m_cloudflared.discardPendingReports(); }
    std::optional<QString> cloudflaredExecutableURL() const {
        return m_cloudflared.cloudflaredExecutableURL();
    }
    void setCloudflaredCandidates(const QStringList& paths) { m_cloudflared.setCloudflaredCandidates(paths); }

private:
    QuarryTunnelBrokerClient m_broker;
    QuarryCloudflaredSupervisor m_cloudflared;
};
