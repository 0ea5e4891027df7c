// Pictures of both windows for a person to look at (make screenshots): not a test, and not run by ctest.
#include "desktop_driver.h"

#include "support/test_support.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace app_testing;
using testing_support::waitUntil;

namespace {

// Saves what the window shows as <name>.png in the screenshots folder.
void screenshot(QQuickWindow* window, const QString& name) {
    const QString folder = QStringLiteral(BRIGHTLOOM_SCREENSHOTS_DIR);
    QDir().mkpath(folder);
    testing_support::spin(std::chrono::milliseconds(300)); // let animations settle
    const QImage image = window->grabWindow();
    EXPECT_FALSE(image.isNull()) << "could not grab " << name.toStdString();
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    EXPECT_TRUE(image.save(path)) << path.toStdString();
}

} // namespace

// Both windows, dark and light, with shares of both sources (one protected, one off), a QR code, start
// at login, then an alert.
TEST(Screenshots, BothWindowsInBothAppearancesAndAnAlert) {
    const QuarryShareAppState state = stateWith(
        {makeShare({.slug = "family-photos",
                    .name = "Family Photos",
                    .password = "sunflower",
                    .source = QuarryShareSource::quarry,
                    .folderID = "family-photos"}),
         spaceShare("music", "Music", false), makeShare({.slug = "project-notes", .name = "Project Notes"})});
    writeState(state);
    writeSyncthingConfig({state.shares[0], state.shares[1]});
    Desktop desktop;
    ASSERT_TRUE(desktop.waitForServer());
    click(item(desktop.main(), "shareRow_family-photos"));
    ASSERT_TRUE(find(desktop.main(), "removePasswordButton")) << "the protected share is shown";
    desktop.openSettings();
    for (const QString mode : {"dark", "light"}) {
        desktop.store().setAppearanceMode(mode);
        reveal(item(desktop.main(), "headerCard"));
        screenshot(desktop.main(), "main-" + mode);
        // With every address of the share listed, the password card may lie below the fold.
        reveal(item(desktop.main(), "passwordCard"));
        screenshot(desktop.main(), "main-lower-" + mode);
        reveal(item(desktop.main(), "headerCard"));
        reveal(item(desktop.settings(), "settingsHeader"));
        screenshot(desktop.settings(), "settings-" + mode);
        reveal(item(desktop.settings(), "tunnelToggleButton"));
        screenshot(desktop.settings(), "settings-lower-" + mode);
    }

    // A QR code open over the main window, and start at login switched on in the settings window.
    click(item(desktop.settings(), "startAtLoginSwitch"));
    for (const QString mode : {"dark", "light"}) {
        desktop.store().setAppearanceMode(mode);
        click(item(desktop.main(), "headerQRButton"));
        ASSERT_TRUE(waitUntil([&] { return find(desktop.main(), "qrCodeImage"); }));
        screenshot(desktop.main(), "main-qr-code-" + mode);
        pressKey(desktop.main(), Qt::Key_Escape);
        ASSERT_TRUE(waitUntil([&] { return !find(desktop.main(), "qrCodeImage"); }));
        reveal(item(desktop.settings(), "startAtLoginSwitch"));
        screenshot(desktop.settings(), "settings-startup-" + mode);
    }

    desktop.store().setErrorMessage(QString("The tunnel broker returned HTTP 503."));
    ASSERT_TRUE(waitUntil([&] { return find(desktop.main(), "errorAlert"); }));
    screenshot(desktop.main(), "alert-light");
    desktop.store().setAppearanceMode("dark");
    screenshot(desktop.main(), "alert-dark");
}
