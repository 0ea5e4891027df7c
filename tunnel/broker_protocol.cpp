#include "tunnel/broker_protocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace {

QuarryError unreadable(const QString& detail) {
    return QuarryTunnelBroker::tunnelError(
        QStringLiteral("The tunnel broker's answer could not be read: %1.").arg(detail));
}

QuarryResult<QJsonObject> parseObject(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return unreadable(QStringLiteral("it is not valid JSON (%1)").arg(error.errorString()));
    if (!document.isObject())
        return unreadable(QStringLiteral("it is not a JSON object"));
    return document.object();
}

// A required string key; the error names the key the way the broker spells it.
QuarryResult<QString> requiredString(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined())
        return unreadable(QStringLiteral("\"%1\" is missing").arg(QLatin1String(key)));
    if (!value.isString())
        return unreadable(QStringLiteral("\"%1\" is not a string").arg(QLatin1String(key)));
    return value.toString();
}

// An optional string key: absent or null is no value, any other non-string is an error.
QuarryResult<std::optional<QString>> optionalString(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return std::optional<QString>();
    if (!value.isString())
        return unreadable(QStringLiteral("\"%1\" is not a string").arg(QLatin1String(key)));
    return std::optional<QString>(value.toString());
}

bool isHostName(const QString& text) {
    static const QRegularExpression hostName(QStringLiteral(
        "^[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?)*$"));
    return hostName.match(text).hasMatch();
}

bool hasControlCharacter(const QString& text) {
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

} // namespace

namespace QuarryTunnelBroker {

QuarryError tunnelError(const QString& message) {
    return QuarryError{QStringLiteral("QuarryShareTunnelService"), 1, message};
}

std::optional<QUrl> endpointURL(const QUrl& base, const QString& path, const std::optional<QString>& name) {
    if (!base.isValid() || base.isEmpty())
        return std::nullopt;
    QUrl url = base;
    QString joined = url.path(QUrl::FullyEncoded);
    if (!joined.endsWith(QLatin1Char('/')))
        joined += QLatin1Char('/');
    url.setPath(joined + path, QUrl::TolerantMode);
    if (name)
        url.setQuery(QStringLiteral("name=") + QString::fromLatin1(QUrl::toPercentEncoding(*name)),
                     QUrl::StrictMode);
    url.setFragment(QString());
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QByteArray encodeReservationRequest(const ReservationRequest& request) {
    QJsonObject object;
    object.insert(QStringLiteral("requestedSubdomain"), request.requestedSubdomain);
    object.insert(QStringLiteral("localPort"), request.localPort);
    object.insert(QStringLiteral("installationID"), request.installationID);
    object.insert(QStringLiteral("appName"), request.appName);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QuarryResult<AvailabilityResponse> decodeAvailability(const QByteArray& body) {
    const QuarryResult<QJsonObject> object = parseObject(body);
    if (!object)
        return object.error();
    const QJsonValue available = object->value(QLatin1String("available"));
    if (available.isUndefined())
        return unreadable(QStringLiteral("\"available\" is missing"));
    if (!available.isBool())
        return unreadable(QStringLiteral("\"available\" is not true or false"));
    const auto hostname = optionalString(*object, "hostname");
    if (!hostname)
        return hostname.error();
    const auto reason = optionalString(*object, "reason");
    if (!reason)
        return reason.error();
    return AvailabilityResponse{available.toBool(), *hostname, *reason};
}

QuarryResult<ReservationResponse> decodeReservation(const QByteArray& body) {
    const QuarryResult<QJsonObject> object = parseObject(body);
    if (!object)
        return object.error();
    const auto hostname = requiredString(*object, "hostname");
    if (!hostname)
        return hostname.error();
    const auto tunnelID = requiredString(*object, "tunnelID");
    if (!tunnelID)
        return tunnelID.error();
    const auto token = requiredString(*object, "token");
    if (!token)
        return token.error();
    // The host name becomes the public URL and the token the child's credential: neither may be
    // something that would only fail later, in a less readable way.
    if (!isHostName(*hostname))
        return unreadable(QStringLiteral("\"hostname\" is not a valid host name"));
    if (token->isEmpty() || hasControlCharacter(*token))
        return unreadable(QStringLiteral("\"token\" is not a usable token"));
    return ReservationResponse{*hostname, *tunnelID, *token};
}

QuarryResult<void> validate(std::optional<int> statusCode, const QByteArray& body) {
    if (!statusCode)
        return tunnelError(QStringLiteral("The tunnel broker returned an invalid response."));
    if (*statusCode >= 200 && *statusCode <= 299)
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue error = document.object().value(QLatin1String("error"));
    if (error.isString() && !error.toString().isEmpty())
        return tunnelError(error.toString());
    return tunnelError(QStringLiteral("The tunnel broker returned HTTP %1.").arg(*statusCode));
}

} // namespace QuarryTunnelBroker
