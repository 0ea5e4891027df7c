#pragma once

#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QuarryShareStore;

// The application's icon in the desktop's system tray (StatusNotifierItem over D-Bus, XEmbed as Qt's
// fallback). Its picture and tool tip show whether the server is serving and whether the public link is
// on; its menu offers "Open brightloom Share", the public link on and off, and "Quit". The actions are
// made once and updated in place as the store changes, so a tray host never sees the menu rebuilt.
class QuarryTray : public QObject {
    Q_OBJECT

public:
    explicit QuarryTray(QuarryShareStore& store, QObject* parent = nullptr);
    ~QuarryTray() override;

    // Whether the desktop shows tray icons at this moment (a tray host may come and go).
    static bool isAvailable();

    // Shows the icon when a tray is available, or when Qt can wait for one (X11's tray protocol).
    void showIfPossible();
    bool isVisible() const { return m_icon.isVisible(); }

    QString toolTip() const { return m_icon.toolTip(); }
    // The picture's identity; it changes when the state shown changes.
    qint64 iconKey() const { return m_icon.icon().cacheKey(); }
    QMenu& menu() { return m_menu; }

Q_SIGNALS:
    void openRequested();
    void activityRequested();
    void quitRequested();

private:
    void update();
    QString serverText() const;
    QString publicLinkText() const;

    QuarryShareStore& m_store;
    QMenu m_menu;
    QSystemTrayIcon m_icon;
    QAction* m_serverStatus = nullptr;
    QAction* m_publicLinkStatus = nullptr;
    QAction* m_open = nullptr;
    QAction* m_activity = nullptr;
    QAction* m_publicLink = nullptr;
    QAction* m_quit = nullptr;
    QString m_shownState;
};
