#include "desktop_driver.h"

#include "support/test_support.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QPalette>
#include <QSettings>

#include <gtest/gtest.h>

using namespace desktop_testing;
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

void setDesktopWindowColour(const char* colour) {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(colour));
    QGuiApplication::setPalette(palette);
}

// An updater that only counts; it stands for the platform's update service.
struct CountingUpdater : QuarryUpdater {
    explicit CountingUpdater(int* checks)
        : checks(checks) {}
    bool canCheckForUpdates() const override { return true; }
    void checkForUpdates() override { ++*checks; }
    int* checks;
};

std::unique_ptr<BrightloomShareUpdateController> controllerFor(const char* json, int* checks) {
    return std::make_unique<BrightloomShareUpdateController>(
        QJsonDocument::fromJson(json).object(), [=](const BrightloomShareUpdateController::Configuration&) {
            return std::make_unique<CountingUpdater>(checks);
        });
}

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
    setDesktopWindowColour("#EFEFEF");
    int checks = 0;
    Desktop desktop({}, controllerFor(R"({"SUFeedURL":"f","SUPublicEDKey":"k"})", &checks));
    QQuickWindow* window = desktop.main();
    desktop.openSettings();
    EXPECT_FALSE(looksDark(window) || looksDark(desktop.settings())) << "the stored mode follows the desktop";
    setDesktopWindowColour("#202020");
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
    QGuiApplication::setPalette(QPalette());

    click(menuBarItem(window, "brightloom Share", "checkForUpdatesMenuItem"));
    EXPECT_EQ(checks, 1);
    click(menuBarItem(window, "brightloom Share", "aboutMenuItem"));
    QQuickItem* about = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (about = find(window, "aboutDialog")) != nullptr; }));
    EXPECT_EQ(text(item(about, "aboutVersion")), "Version " BRIGHTLOOM_VERSION);
    click(item(about, "aboutOKButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(window, "aboutDialog"); }));
}

TEST(UpdateController, NeedsBothKeysAsNonBlankText) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":"a2V5"})", true},
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":" \n\t"})", false},
        {R"({"SUFeedURL":["https://updates.example/feed.xml"],"SUPublicEDKey":"a2V5"})", false},
        {R"({"SUFeedURL":"https://updates.example/feed.xml"})", false},
    };
    for (const auto& [json, configured] : cases) {
        int checks = 0;
        const auto controller = controllerFor(json, &checks);
        EXPECT_EQ(controller->canCheckForUpdates(), configured) << json;
        controller->checkForUpdates();
        EXPECT_EQ(checks, configured ? 1 : 0) << json;
    }
    EXPECT_FALSE(BrightloomShareUpdateController().canCheckForUpdates())
        << "the application ships without update metadata";
}
