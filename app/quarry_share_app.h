#pragma once

#include "app/autostart.h"
#include "app/desktop_services.h"
#include "app/system_color_scheme.h"
#include "app/tray_icon.h"
#include "app/update_controller.h"
#include "store/quarry_share_store.h"

#include <QObject>
#include <QUrl>
#include <QVariantList>

#include <memory>
#include <optional>

class QQmlApplicationEngine;
class QQuickWindow;

// The application object: creates the one store and the update controller, loads the two windows,
// starts the store when the main window first appears and forwards application activation to it. It
// keeps the tray icon: closing the main window while a tray is available leaves the application serving
// in the background; without one, closing it quits.
class QuarryShareApp : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QVariantList appearanceModes READ appearanceModes CONSTANT)
    Q_PROPERTY(QUrl homeFolder READ homeFolder CONSTANT)
    Q_PROPERTY(QObject* autostart READ autostartObject CONSTANT)

public:
    // Without an update controller the shell makes one from the application's own metadata.
    explicit QuarryShareApp(QuarryShareStoreEnvironment environment = {},
                            std::unique_ptr<BrightloomShareUpdateController> updateController = nullptr,
                            QObject* parent = nullptr);
    ~QuarryShareApp() override;

    // The windows are built on the Basic style with our own palette; call before the first window.
    static void useWindowStyle();

    QuarryShareStore& store() { return *m_store; }

    // Loads both windows and shows the main one, or, when `hidden` and a tray is available, only the tray
    // icon (and starts the store at once); false (with the QML errors logged) when they fail to load.
    bool openWindows(bool hidden = false);
    QQuickWindow* mainWindow() const { return m_mainWindow; }
    QQuickWindow* settingsWindow() const { return m_settingsWindow; }

    QString version() const;
    // One entry per appearance mode, in order: mode (raw value), title and the menu icon of the mode.
    QVariantList appearanceModes() const;

    // Where the folder dialog opens.
    QUrl homeFolder() const;

    // Brings the main window to the front (after the about panel, for instance).
    Q_INVOKABLE void activateMainWindow();

    // Ends the application the orderly way: the event loop ends, then the store with its children.
    Q_INVOKABLE void quit();

    // Another start of the application handed its arguments over: shows the main window unless it was a
    // start at login (--hidden). Returns the reply for that start.
    QString handleLaterStart(const QStringList& arguments);

    QuarryTray* tray() const { return m_tray.get(); }
    QuarryAutostart& autostart() { return m_autostart; }

Q_SIGNALS:
    void quitRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QObject* autostartObject() { return &m_autostart; }
    void startWhenMainWindowAppears();
    void startStore();
    void keepServingInBackground();
    // A folder archive or a large file that a public-link visitor received whole.
    void announceDownload(const QuarryActivityEvent& event);

    QuarryDialogFolderChooser m_folderChooser;
    QuarrySystemClipboard m_clipboard;
    QuarrySystemColorScheme m_systemColorScheme;
    QuarryAutostart m_autostart;
    std::unique_ptr<QuarryShareStore> m_store;
    std::unique_ptr<BrightloomShareUpdateController> m_updateController;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_mainWindow = nullptr;
    QQuickWindow* m_settingsWindow = nullptr;
    std::unique_ptr<QuarryTray> m_tray;
    bool m_started = false;
    bool m_toldAboutBackground = false;
    // When a finished download through the public link was last announced: one a minute at most.
    std::optional<qint64> m_lastDownloadNotice;
};
