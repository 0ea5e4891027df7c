#pragma once

#include "app/quarry_share_app.h"
#include "core/share_records.h"
#include "support/share_fixtures.h"
#include "support/test_support.h"

#include <QQuickItem>
#include <QQuickWindow>

#include <memory>
#include <optional>

// Runs the real windows over a real store in the test's sandbox and acts on them the way a person
// does: finds controls by object name, clicks, types, reads what is on screen.
namespace app_testing {

using namespace testing_support;

// Points the session bus at nowhere until the end of the scope, so secrets go to the keychain's file in
// the sandbox; the variable is the process's, and the next test gets it back as it was.
struct NoSessionBus {
    NoSessionBus() { qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + sandboxRoot().toUtf8() + "/no-bus"); }
    ~NoSessionBus() {
        wasSet ? qputenv("DBUS_SESSION_BUS_ADDRESS", saved) : qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const bool wasSet = qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS");
};

// A share of a Syncthing space, its folder id being its slug.
QuarryFolderShare spaceShare(const QString& slug, const QString& name, bool enabled = true);

class Desktop {
public:
    // Unless the environment brings a tunnel service, the only cloudflared it looks for is
    // <sandbox>/bin/cloudflared, a fake some tests write.
    explicit Desktop(QuarryShareStoreEnvironment environment = {},
                     std::unique_ptr<BrightloomShareUpdateController> updates = nullptr);
    ~Desktop();

    QuarryShareApp& shell() { return *m_shell; }
    QuarryShareStore& store() { return m_shell->store(); }
    QQuickWindow* main() const { return m_shell->mainWindow(); }
    QQuickWindow* settings() const { return m_shell->settingsWindow(); }
    void openSettings(); // as the toolbar button does
    bool waitForServer();

private:
    std::unique_ptr<QuarryShareApp> m_shell;
};

// The first item of that object name on screen inside a window or an item (it and its parents visible;
// open popups count), or null. `item` also fails the test when there is none.
QQuickItem* find(QObject* scope, const QString& name);
QQuickItem* item(QObject* scope, const QString& name);

// A property as text: "text", "color" as "#rrggbb", an AppIcon's "symbol".
QString text(QQuickItem* item, const char* property = "text");
bool isEnabled(QQuickItem* item);

// Scrolls whatever holds the item until the item is in view.
void reveal(QQuickItem* item);

// Input through the window, as the platform delivers it.
void click(QQuickItem* item, Qt::MouseButton button = Qt::LeftButton);
void typeInto(QQuickItem* field, const QString& text); // replaces the field's text, key by key
void pressKey(QQuickWindow* window, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
              const QString& text = {});

// Opens a menu of the menu bar and returns its item of that name.
QQuickItem* menuBarItem(QQuickWindow* window, const QString& menuTitle, const QString& itemName);

// Counts the times state.json is written (each save replaces it whole) from its construction on.
class StateWrites {
public:
    StateWrites();
    ~StateWrites();
    int count();

private:
    int m_descriptor = -1;
    int m_count = 0;
};

} // namespace app_testing
