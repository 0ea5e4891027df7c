#include "tunnel/broker_client.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

using QuarryTunnelBroker::AvailabilityResponse;
using QuarryTunnelBroker::ReservationRequest;
using QuarryTunnelBroker::ReservationResponse;
using QuarryTunnelBroker::tunnelError;

namespace {

// A broker answer is a few small JSON keys; anything this large is not one, and is not kept in memory.
constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

// Hands an early failure to `done` from the event loop, as every other outcome arrives.
template <typename T>
void failLater(QObject* context, std::function<void(QuarryResult<T>)> done, QuarryError error) {
    QTimer::singleShot(0, context, [done = std::move(done), error = std::move(error)] { done(error); });
}

} // namespace

QuarryTunnelBrokerClient::QuarryTunnelBrokerClient(QNetworkAccessManager* session, QObject* parent)
    : QObject(parent)
    , m_session(session ? session : new QNetworkAccessManager(this)) {}

QuarryTunnelBrokerClient::~QuarryTunnelBrokerClient() {
    abandonRequests();
}

void QuarryTunnelBrokerClient::setTransferTimeout(std::chrono::milliseconds timeout) {
    m_transferTimeout = timeout;
}

void QuarryTunnelBrokerClient::checkAvailability(
    const QUrl& brokerURL, const QString& requestedSubdomain,
    std::function<void(QuarryResult<AvailabilityResponse>)> done) {
    const std::optional<QUrl> url = QuarryTunnelBroker::endpointURL(
        brokerURL, QLatin1String(QuarryTunnelBroker::kAvailabilityPath), requestedSubdomain);
    if (!url) {
        failLater(this, std::move(done), tunnelError(QStringLiteral("The tunnel broker URL is invalid.")));
        return;
    }
    send(QNetworkRequest(*url), QByteArray(), false, [done = std::move(done)](QuarryResult<QByteArray> body) {
        if (!body)
            done(body.error());
        else
            done(QuarryTunnelBroker::decodeAvailability(*body));
    });
}

void QuarryTunnelBrokerClient::reserveTunnel(const QUrl& brokerURL, const QString& requestedSubdomain,
                                             int localPort, const QString& installationID,
                                             std::function<void(QuarryResult<ReservationResponse>)> done) {
    const std::optional<QUrl> url =
        QuarryTunnelBroker::endpointURL(brokerURL, QLatin1String(QuarryTunnelBroker::kReservationPath));
    if (!url) {
        failLater(this, std::move(done), tunnelError(QStringLiteral("The tunnel broker URL is invalid.")));
        return;
    }
    QNetworkRequest request(*url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QByteArray body = QuarryTunnelBroker::encodeReservationRequest(
        ReservationRequest{requestedSubdomain, localPort, installationID});
    send(request, body, true, [done = std::move(done)](QuarryResult<QByteArray> answer) {
        if (!answer)
            done(answer.error());
        else
            done(QuarryTunnelBroker::decodeReservation(*answer));
    });
}

void QuarryTunnelBrokerClient::send(QNetworkRequest request, const QByteArray& body, bool post,
                                    std::function<void(QuarryResult<QByteArray>)> done) {
    request.setTransferTimeout(static_cast<int>(m_transferTimeout.count()));
    QNetworkReply* reply = post ? m_session->post(request, body) : m_session->get(request);
    m_replies.insert(reply);
    auto oversized = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::downloadProgress, this, [reply, oversized](qint64 received, qint64) {
        if (received > kMaxAnswerBytes && !*oversized) {
            *oversized = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, oversized, done = std::move(done)] {
        m_replies.remove(reply);
        reply->deleteLater();
        done(answerOf(reply, *oversized));
    });
    // A session owned elsewhere may delete its replies first.
    connect(reply, &QObject::destroyed, this, [this, reply] { m_replies.remove(reply); });
}

QuarryResult<QByteArray> QuarryTunnelBrokerClient::answerOf(QNetworkReply* reply, bool oversized) const {
    if (oversized)
        return tunnelError(QStringLiteral("The tunnel broker's answer is too large."));
    const QNetworkReply::NetworkError error = reply->error();
    // Nothing but the transfer timeout cancels a request whose answer is awaited: abandoned requests
    // are disconnected before they are aborted.
    if (error == QNetworkReply::OperationCanceledError)
        return tunnelError(QStringLiteral("The request to the tunnel broker timed out."));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Connection and proxy failures mean the body, if any, is incomplete; HTTP error statuses are the
    // broker's answer and are judged by their status and body.
    const bool transportFailure =
        error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
    if (transportFailure || (error != QNetworkReply::NoError && !status.isValid()))
        return tunnelError(reply->errorString());
    const QByteArray body = reply->readAll();
    const std::optional<int> code = status.isValid() ? std::optional<int>(status.toInt()) : std::nullopt;
    if (const QuarryResult<void> valid = QuarryTunnelBroker::validate(code, body); !valid)
        return valid.error();
    if (error != QNetworkReply::NoError)
        return tunnelError(reply->errorString());
    return body;
}

void QuarryTunnelBrokerClient::abandonRequests() {
    const QSet<QNetworkReply*> replies = std::exchange(m_replies, {});
    for (QNetworkReply* reply : replies) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        delete reply;
    }
}
