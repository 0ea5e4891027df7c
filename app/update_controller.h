#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// A software-update service of the platform, set up with the application's feed and signing key.
class QuarryUpdater {
public:
    virtual ~QuarryUpdater() = default;
    // Whether a user-initiated check may start now.
    virtual bool canCheckForUpdates() const = 0;
    // Runs a user-initiated check; the service shows its own windows.
    virtual void checkForUpdates() = 0;
};

// Behind "Check for Updates…". Updating is configured only when the application's metadata holds both
// "SUFeedURL" and "SUPublicEDKey" as non-blank text; otherwise there is no updater and the item stays
// disabled. Linux has no such service, so the platform factory makes none.
class BrightloomShareUpdateController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    struct Configuration {
        QString feedURL;
        QString publicEDKey;
        bool operator==(const Configuration&) const = default;
    };
    using UpdaterFactory = std::function<std::unique_ptr<QuarryUpdater>(const Configuration&)>;

    // Reads the configuration from `metadata`; asks `factory` for an updater only when it is complete.
    explicit BrightloomShareUpdateController(const QJsonObject& metadata = applicationMetadata(),
                                             UpdaterFactory factory = platformUpdaterFactory(),
                                             QObject* parent = nullptr);
    ~BrightloomShareUpdateController() override;

    // Both keys present as text that is not blank, or nothing.
    static std::optional<Configuration> configuration(const QJsonObject& metadata);
    // The metadata compiled into the application (an empty object when it cannot be read).
    static QJsonObject applicationMetadata();
    static UpdaterFactory platformUpdaterFactory();

    bool canCheckForUpdates() const;
    Q_INVOKABLE void checkForUpdates();

Q_SIGNALS:
    void canCheckForUpdatesChanged();

private:
    std::unique_ptr<QuarryUpdater> m_updater;
};
