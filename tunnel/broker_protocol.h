#pragma once

#include "core/error.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

// The tunnel broker's two-call JSON API: the records on the wire, the endpoint URLs and the reading of
// its answers. Everything here is pure; the broker client sends the requests.

namespace QuarryTunnelBroker {

// Answer of the availability endpoint; `available` is required, the rest optional.
struct AvailabilityResponse {
    bool available = false;
    std::optional<QString> hostname;
    std::optional<QString> reason;

    bool operator==(const AvailabilityResponse&) const = default;
};

// Answer of the reservation endpoint; every key is required.
struct ReservationResponse {
    QString hostname;
    QString tunnelID;
    QString token;

    bool operator==(const ReservationResponse&) const = default;
};

// Body of the reservation request.
struct ReservationRequest {
    QString requestedSubdomain;
    int localPort = 0;
    QString installationID;
    QString appName = QStringLiteral("brightloom Share");

    bool operator==(const ReservationRequest&) const = default;
};

inline constexpr const char* kAvailabilityPath = "api/tunnels/availability";
inline constexpr const char* kReservationPath = "api/tunnels/reserve";

// An error of the tunnel service's domain (code 1) with that message.
QuarryError tunnelError(const QString& message);

// `base` with the relative `path` appended to whatever path it has, joined by exactly one "/". With a
// `name`, the query becomes the single item name=<name>, percent-encoded; otherwise the base's query
// stays. Nothing when the base URL is unusable.
std::optional<QUrl> endpointURL(const QUrl& base, const QString& path,
                                const std::optional<QString>& name = std::nullopt);

QByteArray encodeReservationRequest(const ReservationRequest& request);

// Reading a 2xx body; failures name what is wrong with the answer.
QuarryResult<AvailabilityResponse> decodeAvailability(const QByteArray& body);
QuarryResult<ReservationResponse> decodeReservation(const QByteArray& body);

// Checks the HTTP status of an answer: 2xx passes; otherwise the broker's own non-empty "error" text,
// or "The tunnel broker returned HTTP <code>.". No status at all means the answer was not HTTP.
QuarryResult<void> validate(std::optional<int> statusCode, const QByteArray& body);

} // namespace QuarryTunnelBroker
