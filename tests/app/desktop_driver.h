#pragma once

#include "app/quarry_share_app.h"
#include "model/share_records.h"

#include <QColor>
#include <QQuickItem>
#include <QQuickWindow>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// Runs the real windows over a real store in the test's sandbox and acts on them the way a person
// does: finds controls by object name, clicks, types, reads what is on screen.
namespace desktop_testing {

// The state document, Syncthing's configuration and folders inside the sandbox.
QString statePath();
void writeState(const QuarryShareAppState& state);
std::optional<QuarryShareAppState> readState();
// Syncthing's configuration listing these shares' folders (folder id, label and path).
void writeSyncthingConfig(const QList<QuarryFolderShare>& folders);
QString makeFolder(const QString& name);
int freePort();
QuarryFolderShare makeShare(QuarryShareSource source, const QString& name, const QString& slug, bool enabled);
// A password as the store would set it: a salt and the digest of salt, colon and password.
void protect(QuarryFolderShare& share, const QString& password);
// The appearance preference as the store keeps it.
void writeAppearancePreference(const QString& raw);
QString appearancePreference();

class Desktop {
public:
    // `prepare` runs on the shell before the windows load (to point the tunnel service at fakes, say).
    explicit Desktop(std::function<void(QuarryShareApp&)> prepare = {},
                     QuarryShareStoreEnvironment environment = {},
                     std::unique_ptr<BrightloomShareUpdateController> updates = nullptr);
    ~Desktop();

    QuarryShareApp& shell() { return *m_shell; }
    QuarryShareStore& store() { return m_shell->store(); }
    QQuickWindow* main() const { return m_shell->mainWindow(); }
    QQuickWindow* settings() const { return m_shell->settingsWindow(); }
    // Shows the settings window as its toolbar button does.
    void openSettings();
    bool waitForServer();

private:
    std::unique_ptr<QuarryShareApp> m_shell;
};

// The first item with that object name that is on screen (visible, along with all its parents), or
// null. Popups count once they are open.
QQuickItem* find(QQuickWindow* window, const QString& name);
QQuickItem* findIn(QQuickItem* root, const QString& name);
// Like find, but fails the current test when nothing is on screen under that name.
QQuickItem* item(QQuickWindow* window, const QString& name);
QQuickItem* itemIn(QQuickItem* root, const QString& name);

QString text(QQuickItem* item);
QColor color(QQuickItem* item);
QString iconOf(QQuickItem* icon); // the symbol an AppIcon shows
bool isEnabled(QQuickItem* item);

// Scrolls whatever holds the item until the item is in view.
void reveal(QQuickItem* item);

// Pointer and keyboard input through the window, as the platform would deliver it.
void click(QQuickItem* item, Qt::MouseButton button = Qt::LeftButton);
void rightClick(QQuickItem* item);
void typeInto(QQuickItem* field, const QString& text); // replaces the field's text, key by key
void pressKey(QQuickWindow* window, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
// Moves keyboard focus on from a field with Tab.
void leave(QQuickItem* field);

// Opens a menu of the menu bar and returns its item with that name.
QQuickItem* menuBarItem(QQuickWindow* window, const QString& menuTitle, const QString& itemName);

// Saves what the window shows under the test build folder's screenshots/ and returns the path.
QString screenshot(QQuickWindow* window, const QString& name);

// A cloudflared candidate that never exists, so that no installed cloudflared is ever found.
QString missingCloudflared();
// Secrets go to the private file in the sandbox: no session bus is reachable.
void withoutSessionBus();

} // namespace desktop_testing
