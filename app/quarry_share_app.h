#pragma once

#include "app/desktop_services.h"
#include "app/system_color_scheme.h"
#include "app/update_controller.h"
#include "store/quarry_share_store.h"

#include <QObject>
#include <QUrl>
#include <QVariantList>

#include <memory>

class QQmlApplicationEngine;
class QQuickWindow;

// The application object: creates the one store and the update controller, loads the two windows,
// starts the store when the main window first appears and forwards application activation to it.
class QuarryShareApp : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QVariantList appearanceModes READ appearanceModes CONSTANT)
    Q_PROPERTY(QUrl homeFolder READ homeFolder CONSTANT)

public:
    // Without an update controller the shell makes one from the application's own metadata.
    explicit QuarryShareApp(QuarryShareStoreEnvironment environment = {},
                            std::unique_ptr<BrightloomShareUpdateController> updateController = nullptr,
                            QObject* parent = nullptr);
    ~QuarryShareApp() override;

    // The windows are built on the Basic style with our own palette; call before the first window.
    static void useWindowStyle();

    QuarryShareStore& store() { return *m_store; }

    // Loads both windows and shows the main one; false (with the QML errors logged) when they fail to load.
    bool openWindows();
    QQuickWindow* mainWindow() const { return m_mainWindow; }
    QQuickWindow* settingsWindow() const { return m_settingsWindow; }

    QString version() const;
    // One entry per appearance mode, in order: mode (raw value), title and the menu icon of the mode.
    QVariantList appearanceModes() const;

    // Where the folder dialog opens.
    QUrl homeFolder() const;

    // Brings the main window to the front (after the about panel, for instance).
    Q_INVOKABLE void activateMainWindow();

private:
    void startWhenMainWindowAppears();

    BrightloomShareFolderChooser m_folderChooser;
    BrightloomShareClipboard m_clipboard;
    BrightloomShareSystemColorScheme m_systemColorScheme;
    std::unique_ptr<QuarryShareStore> m_store;
    std::unique_ptr<BrightloomShareUpdateController> m_updateController;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_mainWindow = nullptr;
    QQuickWindow* m_settingsWindow = nullptr;
    bool m_started = false;
};
