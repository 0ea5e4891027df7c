#pragma once

#include "core/appearance_mode.h"
#include "core/error.h"
#include "core/share_records.h"
#include "server/web_server.h"
#include "store/store_environment.h"
#include "tunnel/tunnel_service.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class QuarrySystemWakeWatcher;

// The application's one model object: owns the persisted state, the web server and the tunnel service,
// carries out every user operation, saves after every change. Lives on the main thread; the web server's
// reports reach it from the server thread as queued calls.
class QuarryShareStore : public QObject {
    Q_OBJECT

    // Shares, as maps for the windows (see shareItem() for the keys).
    Q_PROPERTY(QVariantList importedShares READ importedShareItems NOTIFY sharesChanged)
    Q_PROPERTY(QVariantList customShares READ customShareItems NOTIFY sharesChanged)
    Q_PROPERTY(QString selectedShareID READ selectedShareIDText WRITE setSelectedShareIDText NOTIFY
                   selectedShareIDChanged)
    Q_PROPERTY(QVariantMap selectedShare READ selectedShareItem NOTIFY selectedShareChanged)
    Q_PROPERTY(bool hasSelectedShare READ hasSelectedShare NOTIFY selectedShareChanged)

    // Web server.
    Q_PROPERTY(QString serverStateName READ serverStateName NOTIFY serverStateChanged)
    Q_PROPERTY(int serverPort READ serverPort NOTIFY serverStateChanged)
    Q_PROPERTY(QString portString READ portString WRITE setPortString NOTIFY appStateChanged)
    Q_PROPERTY(QStringList availableOrigins READ availableOrigins NOTIFY availableOriginsChanged)

    // Messages.
    Q_PROPERTY(QString statusMessage READ statusMessageText NOTIFY statusMessageChanged)
    Q_PROPERTY(
        QString errorMessage READ errorMessageText WRITE setErrorMessageText NOTIFY errorMessageChanged)

    // Appearance.
    Q_PROPERTY(
        QString appearanceMode READ appearanceModeRaw WRITE setAppearanceModeRaw NOTIFY appearanceModeChanged)

    // Public link.
    Q_PROPERTY(QString publicTunnelStatusName READ publicTunnelStatusName NOTIFY publicTunnelStatusChanged)
    Q_PROPERTY(QString publicTunnelStatusLabel READ publicTunnelStatusLabel NOTIFY publicTunnelStatusChanged)
    Q_PROPERTY(bool publicTunnelEnabled READ publicTunnelEnabled NOTIFY appStateChanged)
    Q_PROPERTY(QString publicTunnelSubdomain READ publicTunnelSubdomain WRITE setPublicTunnelSubdomain NOTIFY
                   appStateChanged)
    Q_PROPERTY(QString publicTunnelBrokerURL READ publicTunnelBrokerURL WRITE setPublicTunnelBrokerURL NOTIFY
                   appStateChanged)
    Q_PROPERTY(QString publicTunnelHostname READ publicTunnelHostnameText NOTIFY appStateChanged)
    Q_PROPERTY(QString publicTunnelURL READ publicTunnelURLText NOTIFY appStateChanged)
    Q_PROPERTY(QString publicTunnelDomainSuffix READ publicTunnelDomainSuffix NOTIFY appStateChanged)
    Q_PROPERTY(bool publicTunnelCanStart READ publicTunnelCanStart NOTIFY publicTunnelRequirementsChanged)
    Q_PROPERTY(QString publicTunnelRequirementMessage READ publicTunnelRequirementMessageText NOTIFY
                   publicTunnelRequirementsChanged)

public:
    static constexpr const char* appearanceModeDefaultsKey = "brightloomShareAppearanceMode";
    static constexpr const char* appName = "brightloom Share";
    // Public domain the broker hands out when no host name has been granted yet.
    static constexpr const char* defaultPublicDomain = "brightloom.app";

    explicit QuarryShareStore(QuarryShareStoreEnvironment environment = {}, QObject* parent = nullptr);
    ~QuarryShareStore() override;

    // The user preferences file that keeps the appearance mode: $XDG_CONFIG_HOME/brightloom/brightloom
    // Share.conf.
    static QString preferencesFilePath();

    // Desktop services the windows provide; without them adding folders and copying do nothing.
    void setFolderChooser(QuarryFolderChooser* chooser);
    void setClipboard(QuarryClipboard* clipboard);

    // Lifecycle: loading, starting, the Syncthing folders, wake and activation.
    Q_INVOKABLE void start();
    Q_INVOKABLE void refreshImportedFolders();
    QuarryShareServerSnapshot currentSnapshot() const;
    void ensureServerRunning(int delayMilliseconds);
    bool isServerRunning() const;
    Q_INVOKABLE void handleSystemWake();
    Q_INVOKABLE void handleApplicationActivated();

    // State.
    const QuarryShareAppState& appState() const { return m_appState; }
    QString persistenceURL() const { return m_persistenceURL; }
    std::optional<QUuid> selectedShareID() const { return m_selectedShareID; }
    void setSelectedShareID(std::optional<QUuid> id);
    QuarryShareWebServer::State serverState() const { return m_serverState; }
    QuarryShareTunnelService::Status publicTunnelStatus() const { return m_publicTunnelStatus; }
    std::optional<QString> statusMessage() const { return m_statusMessage; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    void setErrorMessage(std::optional<QString> message);
    QStringList availableOrigins() const { return m_availableOrigins; }
    AppearanceMode appearanceMode() const { return m_appearanceMode; }
    void setAppearanceMode(AppearanceMode mode);
    Q_INVOKABLE void setAppearanceMode(const QString& mode) { setAppearanceModeRaw(mode); }
    Q_INVOKABLE bool isAppearanceModeSelected(const QString& mode) const;
    QuarryShareWebServer& webServer() { return *m_webServer; }
    QuarryShareTunnelService& tunnelService() { return *m_tunnelService; }

    // Derived views.
    QList<QuarryFolderShare> importedShares() const;
    QList<QuarryFolderShare> customShares() const;
    QList<QuarryFolderShare> allShares() const;
    QList<QuarryFolderShare> enabledShares() const;
    std::optional<QuarryFolderShare> selectedShare() const;

    // Share management: adding, removing, switching, slugs, passwords, URLs.
    Q_INVOKABLE void addCustomFolder();
    void addCustomFolder(const QString& chosenPath);
    void toggleShare(const QUuid& id, bool isEnabled);
    void updateSlug(const QUuid& id, const QString& slug);
    void setPassword(const QUuid& id, const QString& password);
    void removePassword(const QUuid& id);
    void removeShare(const QUuid& id);
    void copyURL(const QUuid& id);
    void copyPublicURL(const QUuid& id);
    QString shareURLString(const QuarryFolderShare& share) const;
    std::optional<QString> publicShareURLString(const QuarryFolderShare& share) const;
    QString nextUniqueSlug(const QString& seed, std::optional<QUuid> excluding = std::nullopt,
                           const QList<QuarryFolderShare>* in = nullptr) const;
    // The same operations for the windows, addressed by the id's text.
    Q_INVOKABLE void toggleShare(const QString& id, bool isEnabled);
    Q_INVOKABLE void updateSlug(const QString& id, const QString& slug);
    Q_INVOKABLE void setPassword(const QString& id, const QString& password);
    Q_INVOKABLE void removePassword(const QString& id);
    Q_INVOKABLE void removeShare(const QString& id);
    Q_INVOKABLE void copyURL(const QString& id);
    Q_INVOKABLE void copyPublicURL(const QString& id);

    // Server control: the port, restarts, and the server's reports.
    Q_INVOKABLE void restartServer();
    void handleServerStateChange(const QuarryShareWebServer::State& state);
    QString portString() const;
    void setPortString(const QString& text);

    // Public link. The asynchronous operations call `done` once they have finished.
    QString publicTunnelSubdomain() const { return m_appState.publicTunnel.requestedSubdomain; }
    void setPublicTunnelSubdomain(const QString& text);
    QString publicTunnelBrokerURL() const { return m_appState.publicTunnel.brokerURL; }
    void setPublicTunnelBrokerURL(const QString& text);
    std::optional<QString> publicTunnelHostname() const { return m_appState.publicTunnel.hostname; }
    std::optional<QString> publicTunnelURL() const;
    bool publicTunnelCanStart() const;
    std::optional<QString> publicTunnelRequirementMessage() const;
    Q_INVOKABLE void checkPublicTunnelAvailability() { checkPublicTunnelAvailability({}); }
    void checkPublicTunnelAvailability(std::function<void()> done);
    Q_INVOKABLE void startPublicTunnel() { startPublicTunnel({}); }
    void startPublicTunnel(std::function<void()> done);
    Q_INVOKABLE void stopPublicTunnel();
    void resumePublicTunnelIfNeeded();
    QuarryResult<QUrl> normalizedBrokerURL() const;
    QString normalizedTunnelSubdomain() const;
    QString tunnelTokenAccount() const;

Q_SIGNALS:
    void appStateChanged();
    void sharesChanged();
    void selectedShareIDChanged();
    void selectedShareChanged();
    void serverStateChanged();
    void publicTunnelStatusChanged();
    void statusMessageChanged();
    void errorMessageChanged();
    void availableOriginsChanged();
    void appearanceModeChanged();
    void publicTunnelRequirementsChanged();

private:
    // Persistence.
    void load();
    void save();
    void preserveUnreadableState(const QByteArray& bytes);
    void mergeImportedQuarryFolders();
    void assignAppState(QuarryShareAppState state);
    void fixSelection();

    // Setters that notify only on change.
    void setServerState(const QuarryShareWebServer::State& state);
    void setPublicTunnelStatus(const QuarryShareTunnelService::Status& status);
    void setStatusMessage(std::optional<QString> message);
    void setAvailableOrigins(const QStringList& origins);

    // Server control.
    QString servingText(int port) const;
    void scheduleServerRecovery(int delayMilliseconds);
    void scheduleFailureAlert(const QString& message);
    void cancelTimers();
    QStringList localOrigins(int port) const;

    // Public link.
    void failPublicTunnelStart(const QString& description);
    void finishPublicTunnelStart(const ReservationResponse& reservation);

    // Shares.
    QuarryFolderShare* findShare(const QUuid& id);
    static std::optional<QUuid> idFromText(const QString& text);
    QVariantMap shareItem(const QuarryFolderShare& share) const;
    // The share's URL under every origin, in the order of availableOrigins.
    QStringList localURLStrings(const QuarryFolderShare& share) const;
    QVariantList shareItems(const QList<QuarryFolderShare>& shares) const;

    // Property adaptors for the windows.
    QVariantList importedShareItems() const { return shareItems(importedShares()); }
    QVariantList customShareItems() const { return shareItems(customShares()); }
    QString selectedShareIDText() const;
    void setSelectedShareIDText(const QString& id);
    QVariantMap selectedShareItem() const;
    bool hasSelectedShare() const { return selectedShare().has_value(); }
    QString serverStateName() const;
    int serverPort() const { return m_serverState.port; }
    QString statusMessageText() const { return m_statusMessage.value_or(QString()); }
    QString errorMessageText() const { return m_errorMessage.value_or(QString()); }
    void setErrorMessageText(const QString& text);
    QString appearanceModeRaw() const { return rawValue(m_appearanceMode); }
    void setAppearanceModeRaw(const QString& raw);
    QString publicTunnelStatusName() const;
    QString publicTunnelStatusLabel() const { return m_publicTunnelStatus.label(); }
    bool publicTunnelEnabled() const { return m_appState.publicTunnel.isEnabled; }
    QString publicTunnelHostnameText() const { return publicTunnelHostname().value_or(QString()); }
    QString publicTunnelURLText() const { return publicTunnelURL().value_or(QString()); }
    QString publicTunnelDomainSuffix() const;
    QString publicTunnelRequirementMessageText() const {
        return publicTunnelRequirementMessage().value_or(QString());
    }

    QuarryShareStoreEnvironment m_environment;
    QuarryShareAppState m_appState;
    std::optional<QUuid> m_selectedShareID;
    QuarryShareWebServer::State m_serverState = QuarryShareWebServer::State::stopped();
    QuarryShareTunnelService::Status m_publicTunnelStatus = QuarryShareTunnelService::Status::stopped();
    std::optional<QString> m_statusMessage;
    std::optional<QString> m_errorMessage;
    QStringList m_availableOrigins;
    AppearanceMode m_appearanceMode = AppearanceMode::dark;
    QString m_persistenceURL;
    std::unique_ptr<QuarryShareWebServer> m_webServer;
    std::unique_ptr<QuarryShareTunnelService> m_tunnelService;
    QTimer* m_recoveryTimer = nullptr;
    QTimer* m_failureAlertTimer = nullptr;
    QString m_pendingAlertMessage;
    QuarrySystemWakeWatcher* m_wakeWatcher = nullptr;
    QuarryFolderChooser* m_folderChooser = nullptr;
    QuarryClipboard* m_clipboard = nullptr;
};
