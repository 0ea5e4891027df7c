#pragma once

#include "core/appearance_mode.h"
#include "core/share_records.h"
#include "server/site/server_snapshot.h"
#include "store/public_link_controller.h"
#include "store/server_controller.h"
#include "store/share_list_model.h"
#include "store/store_environment.h"

#include <QObject>
#include <QVariantMap>

#include <functional>
#include <optional>

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
    Q_PROPERTY(QString selectedShareID READ selectedShareIDText WRITE setSelectedShareIDText NOTIFY
                   selectedShareIDChanged)
    // The selected share as its list row reads (see QuarryShareListModel), empty when there is none.
    Q_PROPERTY(QVariantMap selectedShare READ selectedShareItem NOTIFY selectedShareChanged)
    Q_PROPERTY(QString statusMessage READ statusMessageText NOTIFY statusMessageChanged)
    Q_PROPERTY(
        QString errorMessage READ errorMessageText WRITE setErrorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(
        QString appearanceMode READ appearanceModeRaw WRITE setAppearanceMode NOTIFY appearanceModeChanged)

public:
    static constexpr const char* appearanceModeDefaultsKey = "brightloomShareAppearanceMode";
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
};
