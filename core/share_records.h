#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

// Base URL of the tunnel broker service that a fresh installation uses.
inline constexpr const char* kDefaultBrokerURL = "https://broker.brightloom.app";
inline constexpr int kDefaultPort = 48173;

// A new random UUID in canonical text form: upper-case hexadecimal, 8-4-4-4-12.
QString newUUIDText();
// Canonical upper-case text of a UUID.
QString uuidText(const QUuid& uuid);
// Reads a UUID only from its 36-character 8-4-4-4-12 text (either case); anything else gives nothing.
std::optional<QUuid> uuidFromText(const QString& text);

// Trims white space and line breaks from both ends (the rule every operation that trims follows).
QString trimmedText(const QString& text);

enum class QuarryShareSource { quarry, custom };

QString rawValue(QuarryShareSource source);
std::optional<QuarryShareSource> shareSourceFromRaw(const QString& raw);
QString title(QuarryShareSource source);
QList<QuarryShareSource> allShareSources();

// One folder found in Syncthing's configuration; never persisted.
struct QuarryImportedFolder {
    std::optional<QString> folderID;
    QString name;
    QString path;

    // folderID when present, otherwise the path.
    QString id() const { return folderID.value_or(path); }
    bool operator==(const QuarryImportedFolder&) const = default;
};

struct QuarryFolderShare {
    QUuid id = QUuid::createUuid();
    QuarryShareSource source = QuarryShareSource::custom;
    std::optional<QString> sourceFolderID;
    QString name;
    QString path;
    QString urlSlug;
    bool isEnabled = false;
    std::optional<QString> passwordSalt;
    std::optional<QString> passwordDigest;
    QDateTime createdAt = QDateTime::currentDateTimeUtc();
    // When the share switches itself off; none by default.
    std::optional<QDateTime> availableUntil;

    // The trimmed name, or the last component of the path when the name is blank.
    QString displayName() const;
    // The folder on disk: the path with a leading "~" expanded.
    QString pathURL() const;
    bool isPasswordProtected() const;

    bool operator==(const QuarryFolderShare&) const = default;
};

size_t qHash(const QuarryFolderShare& share, size_t seed = 0);

struct QuarrySharePublicTunnel {
    QString brokerURL = QString::fromLatin1(kDefaultBrokerURL);
    QString requestedSubdomain;
    std::optional<QString> hostname;
    std::optional<QString> tunnelID;
    bool isEnabled = false;
    std::optional<QString> lastError;
    std::optional<QDateTime> lastStartedAt;

    bool operator==(const QuarrySharePublicTunnel&) const = default;
};

struct QuarryShareAppState {
    int port = kDefaultPort;
    QList<QuarryFolderShare> shares;
    QString installationID = newUUIDText();
    QuarrySharePublicTunnel publicTunnel;
    // Host names the user trusts the server to answer besides its own (a name of the local network's
    // DNS, a reverse proxy's), lower case.
    QStringList allowedHostNames;

    bool operator==(const QuarryShareAppState&) const = default;
};
