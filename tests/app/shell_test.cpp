#include "desktop_driver.h"

#include "support/test_support.h"

#include <QGuiApplication>
#include <QPalette>
#include <QSettings>

#include <gtest/gtest.h>

using namespace app_testing;
using testing_support::spin;
using testing_support::waitUntil;
using namespace std::chrono_literals;

namespace {

bool looksDark(QQuickWindow* window) {
    return window->color().lightness() < 128;
}

QSettings preferences() {
    return QSettings(QuarryShareStore::preferencesFilePath(), QSettings::IniFormat);
}

QString storedAppearance() {
    return preferences().value(QuarryShareStore::appearanceModeDefaultsKey).toString();
}

// The desktop's window colour, as its theme sets it, for one test: the palette is the process's.
struct DesktopWindowColour {
    const QPalette saved = QGuiApplication::palette();
    ~DesktopWindowColour() { QGuiApplication::setPalette(saved); }
    void set(const char* colour) {
        QPalette palette;
        palette.setColor(QPalette::Window, QColor(colour));
        QGuiApplication::setPalette(palette);
    }
};

} // namespace

TEST(Shell, StartsTheStoreOnlyOnceTheMainWindowAppearsDarkUnlessAValidModeIsStored) {
    writeState(stateWith());
    preferences().setValue(QuarryShareStore::appearanceModeDefaultsKey, "Light"); // not a raw value
    QuarryShareApp::useWindowStyle();
    QuarryShareApp shell;
    spin(300ms);
    EXPECT_EQ(shell.store().server()->serverState().kind, QuarryShareWebServer::State::Kind::stopped);
    ASSERT_TRUE(shell.openWindows());
    EXPECT_TRUE(waitUntil([&] { return shell.store().server()->isServerRunning(); }));
    EXPECT_FALSE(shell.settingsWindow()->isVisible()) << "settings open only on request";
    EXPECT_TRUE(looksDark(shell.mainWindow()));
}

TEST(Shell, AppearanceFromTheMenuAndTheSettingsButtonsChangesBothWindowsAndIsKeptAndTheAppMenuWorks) {
    writeState(stateWith());
    preferences().setValue(QuarryShareStore::appearanceModeDefaultsKey, "system");
    DesktopWindowColour desktopColour;
    desktopColour.set("#EFEFEF");
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    desktop.openSettings();
    EXPECT_FALSE(looksDark(window) || looksDark(desktop.settings())) << "the stored mode follows the desktop";
    desktopColour.set("#202020");
    EXPECT_TRUE(waitUntil([&] { return looksDark(window) && looksDark(desktop.settings()); }));

    click(menuBarItem(window, "View", "lightModeMenuItem"));
    EXPECT_FALSE(looksDark(window) || looksDark(desktop.settings()))
        << "an explicit mode wins over the desktop";
    EXPECT_EQ(storedAppearance(), "light");
    EXPECT_EQ(text(menuBarItem(window, "View", "lightModeMenuItem"), "symbol"), "checkmark");
    EXPECT_NE(text(find(window, "systemModeMenuItem"), "symbol"), "checkmark");
    pressKey(window, Qt::Key_Escape);
    QQuickItem* lightButton = item(desktop.settings(), "appearanceButton_light");
    EXPECT_EQ(text(item(lightButton, "appearanceIcon"), "symbol"), "checkmark.circle.fill");
    click(item(desktop.settings(), "appearanceButton_dark"));
    EXPECT_TRUE(looksDark(window));
    EXPECT_EQ(storedAppearance(), "dark");

    // No update service on Linux: the item stays disabled.
    EXPECT_FALSE(isEnabled(menuBarItem(window, "brightloom Share", "checkForUpdatesMenuItem")));
    click(item(window, "aboutMenuItem"));
    QQuickItem* about = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (about = find(window, "aboutDialog")) != nullptr; }));
    EXPECT_EQ(text(item(about, "aboutVersion")), "Version " BRIGHTLOOM_VERSION);
    click(item(about, "aboutOKButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(window, "aboutDialog"); }));
}
