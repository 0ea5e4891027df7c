#include "core/share_records.h"

#include "core/paths.h"

#include <QHash>
#include <QRegularExpression>

QString uuidText(const QUuid& uuid) {
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

QString newUUIDText() {
    return uuidText(QUuid::createUuid());
}

std::optional<QUuid> uuidFromText(const QString& text) {
    static const QRegularExpression canonical(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    if (!canonical.match(text).hasMatch())
        return std::nullopt;
    return QUuid::fromString(text);
}

QString trimmedText(const QString& text) {
    // QString::trimmed covers spaces, tabs, line breaks and the other Unicode white space.
    return text.trimmed();
}

QString rawValue(QuarryShareSource source) {
    return source == QuarryShareSource::quarry ? QStringLiteral("quarry") : QStringLiteral("custom");
}

std::optional<QuarryShareSource> shareSourceFromRaw(const QString& raw) {
    if (raw == QLatin1String("quarry"))
        return QuarryShareSource::quarry;
    if (raw == QLatin1String("custom"))
        return QuarryShareSource::custom;
    return std::nullopt;
}

QString title(QuarryShareSource source) {
    return source == QuarryShareSource::quarry ? QStringLiteral("From brightloom")
                                               : QStringLiteral("Custom Folder");
}

QList<QuarryShareSource> allShareSources() {
    return {QuarryShareSource::quarry, QuarryShareSource::custom};
}

QString QuarryFolderShare::displayName() const {
    const QString trimmed = trimmedText(name);
    return trimmed.isEmpty() ? lastPathComponent(path) : trimmed;
}

QString QuarryFolderShare::pathURL() const {
    return expandTilde(path);
}

bool QuarryFolderShare::isPasswordProtected() const {
    return passwordSalt && !passwordSalt->isEmpty() && passwordDigest && !passwordDigest->isEmpty();
}

size_t qHash(const QuarryFolderShare& share, size_t seed) {
    QtPrivate::QHashCombine combine;
    seed = combine(seed, share.id);
    seed = combine(seed, static_cast<int>(share.source));
    seed = combine(seed, share.sourceFolderID.value_or(QString()));
    seed = combine(seed, share.name);
    seed = combine(seed, share.path);
    seed = combine(seed, share.urlSlug);
    seed = combine(seed, share.isEnabled);
    seed = combine(seed, share.passwordSalt.value_or(QString()));
    seed = combine(seed, share.passwordDigest.value_or(QString()));
    seed = combine(seed, share.createdAt.toMSecsSinceEpoch());
    seed = combine(seed, share.availableUntil ? share.availableUntil->toMSecsSinceEpoch() : 0);
    return seed;
}
