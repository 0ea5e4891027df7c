#pragma once

#include "core/error.h"
#include "tunnel/broker_protocol.h"

#include <QObject>
#include <QSet>
#include <QUrl>

#include <chrono>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Asks the tunnel broker whether a subdomain is free and reserves it. Lives on the main thread; every
// answer arrives there from the event loop.
class QuarryTunnelBrokerClient : public QObject {
    Q_OBJECT

public:
    // Without a session the client makes its own network access manager.
    explicit QuarryTunnelBrokerClient(QNetworkAccessManager* session = nullptr, QObject* parent = nullptr);
    // Abandons the requests still waiting: their callbacks never run.
    ~QuarryTunnelBrokerClient() override;

    // `done` runs later from the event loop, never inside the call, and not at all once the client is gone.
    void checkAvailability(const QUrl& brokerURL, const QString& requestedSubdomain,
                           std::function<void(QuarryResult<QuarryTunnelBroker::AvailabilityResponse>)> done);
    void reserveTunnel(const QUrl& brokerURL, const QString& requestedSubdomain, int localPort,
                       const QString& installationID,
                       std::function<void(QuarryResult<QuarryTunnelBroker::ReservationResponse>)> done);

    // Idle time after which a request gives up; 60 s unless changed.
    void setTransferTimeout(std::chrono::milliseconds timeout);

private:
    void send(QNetworkRequest request, const QByteArray& body, bool post,
              std::function<void(QuarryResult<QByteArray>)> done);
    QuarryResult<QByteArray> answerOf(QNetworkReply* reply, bool oversized) const;
    void abandonRequests();

    QNetworkAccessManager* m_session = nullptr;
    QSet<QNetworkReply*> m_replies;
    std::chrono::milliseconds m_transferTimeout{std::chrono::seconds(60)};
};
