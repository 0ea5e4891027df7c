#include "core/state_document.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// 2001-01-01 00:00:00 UTC in milliseconds since 1970.
constexpr qint64 kReferenceDateMSecs = 978307200000LL;
// The first and last millisecond of years 1 to 9999 (UTC), in milliseconds since 1970: a stored date
// past them is taken as the nearest, so the share that carries it is kept and no conversion overflows.
constexpr qint64 kEarliestMSecs = -62135596800000LL;
constexpr qint64 kLatestMSecs = 253402300799999LL;

// Reading helpers: a missing key (or null for a key that may be missing) is `Missing`;
// a value of the wrong type is `Invalid`, which makes the whole document unreadable.
enum class Read { Present, Missing, Invalid };

Read readString(const QJsonObject& object, const char* key, QString& out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return Read::Missing;
    if (!value.isString())
        return Read::Invalid;
    out = value.toString();
    return Read::Present;
}

Read readBool(const QJsonObject& object, const char* key, bool& out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return Read::Missing;
    if (!value.isBool())
        return Read::Invalid;
    out = value.toBool();
    return Read::Present;
}

Read readNumber(const QJsonObject& object, const char* key, double& out) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return Read::Missing;
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return Read::Invalid;
    out = value.toDouble();
    return Read::Present;
}

// A required key must be present with the right type.
template <typename T, typename Reader>
bool required(Reader reader, const QJsonObject& object, const char* key, T& out) {
    return reader(object, key, out) == Read::Present;
}

// An optional key may be missing or null (absent); a wrong type fails.
bool optionalString(const QJsonObject& object, const char* key, std::optional<QString>& out) {
    QString text;
    switch (readString(object, key, text)) {
    case Read::Present:
        out = text;
        return true;
    case Read::Missing:
        out.reset();
        return true;
    case Read::Invalid:
        return false;
    }
    return false;
}

bool optionalDate(const QJsonObject& object, const char* key, std::optional<QDateTime>& out);

void putOptional(QJsonObject& object, const char* key, const std::optional<QString>& value) {
    if (value)
        object.insert(QLatin1String(key), *value);
}

} // namespace

double secondsSinceReferenceDate(const QDateTime& date) {
    return static_cast<double>(date.toMSecsSinceEpoch() - kReferenceDateMSecs) / 1000.0;
}

QDateTime dateFromReferenceSeconds(double seconds) {
    if (std::isnan(seconds))
        seconds = 0;
    const double msecs = std::round(seconds * 1000.0) + static_cast<double>(kReferenceDateMSecs);
    const double kept =
        std::clamp(msecs, static_cast<double>(kEarliestMSecs), static_cast<double>(kLatestMSecs));
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(kept), Qt::UTC);
}

namespace {

// A date in seconds since the reference date that may be missing or null (absent); a wrong type fails.
bool optionalDate(const QJsonObject& object, const char* key, std::optional<QDateTime>& out) {
    double seconds = 0;
    switch (readNumber(object, key, seconds)) {
    case Read::Present:
        out = dateFromReferenceSeconds(seconds);
        return true;
    case Read::Missing:
        out.reset();
        return true;
    case Read::Invalid:
        return false;
    }
    return false;
}

} // namespace

QJsonObject encodeShare(const QuarryFolderShare& share) {
    QJsonObject object;
    object.insert(QLatin1String("id"), uuidText(share.id));
    object.insert(QLatin1String("source"), rawValue(share.source));
    putOptional(object, "sourceFolderID", share.sourceFolderID);
    object.insert(QLatin1String("name"), share.name);
    object.insert(QLatin1String("path"), share.path);
    object.insert(QLatin1String("urlSlug"), share.urlSlug);
    object.insert(QLatin1String("isEnabled"), share.isEnabled);
    putOptional(object, "passwordSalt", share.passwordSalt);
    putOptional(object, "passwordDigest", share.passwordDigest);
    object.insert(QLatin1String("createdAt"), secondsSinceReferenceDate(share.createdAt));
    if (share.availableUntil)
        object.insert(QLatin1String("availableUntil"), secondsSinceReferenceDate(*share.availableUntil));
    return object;
}

QJsonObject encodePublicTunnel(const QuarrySharePublicTunnel& tunnel) {
    QJsonObject object;
    object.insert(QLatin1String("brokerURL"), tunnel.brokerURL);
    object.insert(QLatin1String("requestedSubdomain"), tunnel.requestedSubdomain);
    putOptional(object, "hostname", tunnel.hostname);
    putOptional(object, "tunnelID", tunnel.tunnelID);
    object.insert(QLatin1String("isEnabled"), tunnel.isEnabled);
    putOptional(object, "lastError", tunnel.lastError);
    if (tunnel.lastStartedAt)
        object.insert(QLatin1String("lastStartedAt"), secondsSinceReferenceDate(*tunnel.lastStartedAt));
    return object;
}

QJsonObject encodeAppStateObject(const QuarryShareAppState& state) {
    QJsonArray shares;
    for (const QuarryFolderShare& share : state.shares)
        shares.append(encodeShare(share));
    QJsonObject object;
    object.insert(QLatin1String("port"), state.port);
    object.insert(QLatin1String("shares"), shares);
    object.insert(QLatin1String("installationID"), state.installationID);
    object.insert(QLatin1String("publicTunnel"), encodePublicTunnel(state.publicTunnel));
    if (!state.allowedHostNames.isEmpty())
        object.insert(QLatin1String("allowedHostNames"), QJsonArray::fromStringList(state.allowedHostNames));
    return object;
}

QByteArray encodeAppState(const QuarryShareAppState& state) {
    return QJsonDocument(encodeAppStateObject(state)).toJson(QJsonDocument::Compact);
}

std::optional<QuarryFolderShare> decodeShare(const QJsonObject& object) {
    QuarryFolderShare share;
    QString idText;
    QString sourceText;
    double createdAt = 0;
    if (!required(readString, object, "id", idText) || !required(readString, object, "source", sourceText) ||
        !required(readString, object, "name", share.name) ||
        !required(readString, object, "path", share.path) ||
        !required(readString, object, "urlSlug", share.urlSlug) ||
        !required(readBool, object, "isEnabled", share.isEnabled) ||
        !required(readNumber, object, "createdAt", createdAt))
        return std::nullopt;
    const std::optional<QUuid> id = uuidFromText(idText);
    const std::optional<QuarryShareSource> source = shareSourceFromRaw(sourceText);
    if (!id || !source)
        return std::nullopt;
    if (!optionalString(object, "sourceFolderID", share.sourceFolderID) ||
        !optionalString(object, "passwordSalt", share.passwordSalt) ||
        !optionalString(object, "passwordDigest", share.passwordDigest))
        return std::nullopt;
    share.id = *id;
    share.source = *source;
    share.createdAt = dateFromReferenceSeconds(createdAt);
    if (!optionalDate(object, "availableUntil", share.availableUntil))
        return std::nullopt;
    return share;
}

std::optional<QuarrySharePublicTunnel> decodePublicTunnel(const QJsonObject& object) {
    QuarrySharePublicTunnel tunnel;
    if (!required(readString, object, "brokerURL", tunnel.brokerURL) ||
        !required(readString, object, "requestedSubdomain", tunnel.requestedSubdomain) ||
        !required(readBool, object, "isEnabled", tunnel.isEnabled))
        return std::nullopt;
    if (!optionalString(object, "hostname", tunnel.hostname) ||
        !optionalString(object, "tunnelID", tunnel.tunnelID) ||
        !optionalString(object, "lastError", tunnel.lastError))
        return std::nullopt;
    if (!optionalDate(object, "lastStartedAt", tunnel.lastStartedAt))
        return std::nullopt;
    return tunnel;
}

std::optional<QuarryShareAppState> decodeAppState(const QByteArray& document) {
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(document, &error);
    if (error.error != QJsonParseError::NoError || !json.isObject())
        return std::nullopt;
    const QJsonObject object = json.object();
    QuarryShareAppState state;

    double port = 0;
    switch (readNumber(object, "port", port)) {
    case Read::Present:
        if (port != std::floor(port) || port < std::numeric_limits<int>::min() ||
            port > std::numeric_limits<int>::max())
            return std::nullopt;
        state.port = static_cast<int>(port);
        break;
    case Read::Missing:
        break;
    case Read::Invalid:
        return std::nullopt;
    }

    const QJsonValue shares = object.value(QLatin1String("shares"));
    if (shares.isArray()) {
        for (const QJsonValue& entry : shares.toArray()) {
            if (!entry.isObject())
                return std::nullopt;
            std::optional<QuarryFolderShare> share = decodeShare(entry.toObject());
            if (!share)
                return std::nullopt;
            state.shares.append(*share);
        }
    } else if (!shares.isUndefined() && !shares.isNull()) {
        return std::nullopt;
    }

    if (readString(object, "installationID", state.installationID) == Read::Invalid)
        return std::nullopt;

    const QJsonValue tunnel = object.value(QLatin1String("publicTunnel"));
    if (tunnel.isObject()) {
        std::optional<QuarrySharePublicTunnel> decoded = decodePublicTunnel(tunnel.toObject());
        if (!decoded)
            return std::nullopt;
        state.publicTunnel = *decoded;
    } else if (!tunnel.isUndefined() && !tunnel.isNull()) {
        return std::nullopt;
    }

    const QJsonValue names = object.value(QLatin1String("allowedHostNames"));
    if (names.isArray()) {
        for (const QJsonValue& name : names.toArray()) {
            if (!name.isString())
                return std::nullopt;
            state.allowedHostNames.append(name.toString());
        }
    } else if (!names.isUndefined() && !names.isNull()) {
        return std::nullopt;
    }
    return state;
}
