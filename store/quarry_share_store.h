#pragma once

#include "core/appearance_mode.h"
#include "core/share_records.h"
#include "server/site/server_snapshot.h"
#include "store/activity_log.h"
#include "store/public_link_controller.h"
#include "store/server_controller.h"
#include "store/share_list_model.h"
#include "store/store_environment.h"

#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <optional>

class QTimer;

// The application's one model object: owns the persisted state and carries out every user operation on
// shares, saving after every change. The web server and the public link are driven by its two
// controllers, and the sidebar reads its shares through two list models; it hands all four to the
// windows. Lives on the main thread.
class QuarryShareStore : public QObject {
    Q_OBJECT

    Q_PROPERTY(QuarryShareListModel* importedShares READ importedShareList CONSTANT)
    Q_PROPERTY(QuarryShareListModel* customShares READ customShareList CONSTANT)
    Q_PROPERTY(QuarryServerController* server READ server CONSTANT)
    Q_PROPERTY(QuarryPublicLinkController* publicLink READ publicLink CONSTANT)
    Q_PROPERTY(QuarryActivityLog* activity READ activity CONSTANT)
    Q_PROPERTY(QString selectedShareID READ selectedShareIDText WRITE setSelectedShareIDText NOTIFY
                   selectedShareIDChanged)
    // The selected share as its list row reads (see QuarryShareListModel), empty when there is none.
    Q_PROPERTY(QVariantMap selectedShare READ selectedShareItem NOTIFY selectedShareChanged)
    Q_PROPERTY(QString statusMessage READ statusMessageText NOTIFY statusMessageChanged)
    Q_PROPERTY(
        QString errorMessage READ errorMessageText WRITE setErrorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(
        QString appearanceMode READ appearanceModeRaw WRITE setAppearanceMode NOTIFY appearanceModeChanged)
    // Whether what visitors fetch is recorded (in memory and in activity.jsonl beside state.json).
    Q_PROPERTY(
        bool recordsActivity READ recordsActivity WRITE setRecordsActivity NOTIFY recordsActivityChanged)
    // Whether a notification tells of archives and large files downloaded whole through the public link.
    Q_PROPERTY(bool notifiesDownloads READ notifiesDownloads WRITE setNotifiesDownloads NOTIFY
                   notifiesDownloadsChanged)

public:
    static constexpr const char* appearanceModeDefaultsKey = "brightloomShareAppearanceMode";
    static constexpr const char* recordsActivityDefaultsKey = "brightloomShareRecordsActivity";
    static constexpr const char* notifiesDownloadsDefaultsKey = "brightloomShareNotifiesDownloads";
    static constexpr const char* activityTotalsSinceDefaultsKey = "brightloomShareActivityTotalsSince";
    static constexpr const char* appName = "brightloom Share";

    explicit QuarryShareStore(QuarryShareStoreEnvironment environment = {}, QObject* parent = nullptr);
    ~QuarryShareStore() override;

    // The user preferences file that keeps the appearance mode: $XDG_CONFIG_HOME/brightloom/brightloom
    // Share.conf.
    static QString preferencesFilePath();

    // Desktop services the windows provide; without them adding folders and copying do nothing.
    void setFolderChooser(QuarryFolderChooser* chooser);
    void setClipboard(QuarryClipboard* clipboard);

    QuarryServerController* server() const { return m_server; }
    QuarryPublicLinkController* publicLink() const { return m_publicLink; }
    QuarryShareListModel* importedShareList() const { return m_importedShares; }
    QuarryShareListModel* customShareList() const { return m_customShares; }
    QuarryActivityLog* activity() const { return m_activity; }
    bool recordsActivity() const;
    // Off: nothing is recorded, and what was is forgotten and its files removed.
    void setRecordsActivity(bool records);
    bool notifiesDownloads() const;
    void setNotifiesDownloads(bool notifies);

    // Lifecycle: starting, the Syncthing folders, activation.
    void start();
    Q_INVOKABLE void refreshImportedFolders();
    void handleApplicationActivated();
    QuarryShareServerSnapshot currentSnapshot() const;

    // State. Changes of the share list, the port and the public-link record are announced by
    // sharesChanged, portChanged and publicTunnelChanged, each only when that part changed.
    const QuarryShareAppState& appState() const { return m_appState; }
    QString persistenceURL() const { return m_persistenceURL; }
    std::optional<QUuid> selectedShareID() const { return m_selectedShareID; }
    void setSelectedShareID(std::optional<QUuid> id);
    std::optional<QString> statusMessage() const { return m_statusMessage; }
    void setStatusMessage(std::optional<QString> message);
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    void setErrorMessage(std::optional<QString> message);
    AppearanceMode appearanceMode() const { return m_appearanceMode; }
    // A raw value of AppearanceMode; anything else is ignored.
    Q_INVOKABLE void setAppearanceMode(const QString& mode);
    Q_INVOKABLE bool isAppearanceModeSelected(const QString& mode) const;

    // The controllers' changes to the state document, saved at once unless the change is part of an
    // operation that saves later.
    enum class Saving { now, withTheNextSave };
    void setPort(int port);
    void changePublicTunnel(const std::function<void(QuarrySharePublicTunnel&)>& change,
                            Saving saving = Saving::now);
    void setAllowedHostNames(const QStringList& names);

    // Derived views.
    QList<QuarryFolderShare> importedShares() const;
    QList<QuarryFolderShare> customShares() const;
    QList<QuarryFolderShare> allShares() const;
    QList<QuarryFolderShare> enabledShares() const;
    std::optional<QuarryFolderShare> selectedShare() const;

    // Share management. An id that names no share (the windows pass its text) does nothing.
    Q_INVOKABLE void addCustomFolder();
    Q_INVOKABLE void toggleShare(const QUuid& id, bool isEnabled);
    Q_INVOKABLE void updateSlug(const QUuid& id, const QString& slug);
    Q_INVOKABLE void setPassword(const QUuid& id, const QString& password);
    Q_INVOKABLE void removePassword(const QUuid& id);
    Q_INVOKABLE void removeShare(const QUuid& id);
    Q_INVOKABLE void copyURL(const QUuid& id);
    Q_INVOKABLE void copyPublicURL(const QUuid& id);
    // A share's end: the share switches itself off when it is reached. The quick choices count from now;
    // the text is a local date and time as "yyyy-MM-dd HH:mm" (empty clears the end).
    void setAvailableUntil(const QUuid& id, std::optional<QDateTime> end);
    Q_INVOKABLE void setAvailableFor(const QUuid& id, int seconds);
    Q_INVOKABLE void setAvailableUntilText(const QUuid& id, const QString& text);
    Q_INVOKABLE void clearAvailableUntil(const QUuid& id);
    // The form the end is edited in.
    static QString endFieldText(const QDateTime& end);
    QString shareURLString(const QuarryFolderShare& share) const;
    std::optional<QString> publicShareURLString(const QuarryFolderShare& share) const;
    QString nextUniqueSlug(const QString& seed, std::optional<QUuid> excluding = std::nullopt,
                           const QList<QuarryFolderShare>* in = nullptr) const;

Q_SIGNALS:
    void sharesChanged();
    void portChanged();
    void publicTunnelChanged();
    void allowedHostNamesChanged();
    void selectedShareIDChanged();
    void selectedShareChanged();
    void statusMessageChanged();
    void errorMessageChanged();
    void appearanceModeChanged();
    void recordsActivityChanged();
    void notifiesDownloadsChanged();
    // A share reached its end and was switched off (at start, for each share whose end passed meanwhile).
    void shareEnded(const QString& displayName);

private:
    // Persistence.
    void load();
    void save();
    void preserveUnreadableState(const QByteArray& bytes);
    void mergeImportedQuarryFolders();
    void assignShares(QList<QuarryFolderShare> shares);
    void fixSelection();

    // Shares.
    void addChosenFolder(const QString& chosenPath);
    QuarryFolderShare* findShare(const QUuid& id);
    // Saves and restarts the server after the operations that change what is served.
    void sharesEdited();
    void updateSelectedShare();
    // Switches off the shares whose end has passed and sets the timer for the nearest end to come.
    void endExpiredShares();
    void scheduleNextEnd();

    // Property adaptors for the windows.
    QString selectedShareIDText() const;
    void setSelectedShareIDText(const QString& id);
    QVariantMap selectedShareItem() const { return m_selectedShareItem; }
    QString statusMessageText() const { return m_statusMessage.value_or(QString()); }
    QString errorMessageText() const { return m_errorMessage.value_or(QString()); }
    void setErrorMessageText(const QString& text);
    QString appearanceModeRaw() const { return rawValue(m_appearanceMode); }

    QuarryShareStoreEnvironment m_environment;
    QuarryShareAppState m_appState;
    std::optional<QUuid> m_selectedShareID;
    QVariantMap m_selectedShareItem;
    std::optional<QString> m_statusMessage;
    std::optional<QString> m_errorMessage;
    AppearanceMode m_appearanceMode = AppearanceMode::dark;
    QString m_persistenceURL;
    QuarryServerController* m_server = nullptr;
    QuarryPublicLinkController* m_publicLink = nullptr;
    QuarryShareListModel* m_importedShares = nullptr;
    QuarryShareListModel* m_customShares = nullptr;
    QuarryFolderChooser* m_folderChooser = nullptr;
    QuarryClipboard* m_clipboard = nullptr;
    QTimer* m_endTimer = nullptr;
    QuarryActivityLog* m_activity = nullptr;
    // Shares found ended while loading, announced once the application has started.
    QStringList m_endedBeforeStart;
};
