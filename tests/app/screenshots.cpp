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
    desktop.store().setAvailableFor(state.shares[0].id, 7 * 24 * 3600);
    desktop.openSettings();
    click(item(desktop.settings(), "startAtLoginSwitch"));
    for (const QString mode : {"dark", "light"}) {
        desktop.store().setAppearanceMode(mode);
        // With every address of the share listed, the password and end cards may lie below the fold.
        for (const auto& [window, name, shown] :
             {std::tuple(desktop.main(), "main-", "headerCard"),
              std::tuple(desktop.main(), "main-lower-", "availabilityCard"),
              std::tuple(desktop.settings(), "settings-", "settingsHeader"),
              std::tuple(desktop.settings(), "settings-lower-", "tunnelToggleButton"),
              std::tuple(desktop.settings(), "settings-startup-", "startAtLoginSwitch")}) {
            reveal(item(window, shown));
            screenshot(window, name + mode);
        }
        reveal(item(desktop.main(), "headerCard"));
        click(item(desktop.main(), "headerQRButton"));
        ASSERT_TRUE(waitUntil([&] { return find(desktop.main(), "qrCodeImage"); }));
        screenshot(desktop.main(), "main-qr-code-" + mode);
        pressKey(desktop.main(), Qt::Key_Escape);
        ASSERT_TRUE(waitUntil([&] { return !find(desktop.main(), "qrCodeImage"); }));
    }

    // The activity view with a download running and one finished.
    for (const bool ended : {false, true}) {
        QuarryActivityEvent event = *QuarryActivityLog::fromJSONLine(
            QStringLiteral(
                R"({"time":"2026-01-02T03:04:05Z","share":"%1","slug":"project-notes","client":"203.0.113.9",)"
                R"("via":"public","status":200,"kind":"%2","path":"%3","bytesSent":%4,"complete":true})")
                .arg(uuidText(state.shares[2].id), ended ? "archive" : "file",
                     ended ? "drafts" : "drafts/keynote.mov")
                .arg(ended ? 61000000 : 900000000)
                .toUtf8());
        event.ended = ended;
        event.answer = ended ? 2 : 1; // the finished one must not end the running one
        event.bytesPromised = ended ? -1 : 2400000000;
        desktop.store().activity()->add(event);
    }
    QMetaObject::invokeMethod(desktop.main(), "showActivity");
    for (const QString mode : {"dark", "light"}) {
        desktop.store().setAppearanceMode(mode);
        screenshot(desktop.main(), "activity-" + mode);
    }
    pressKey(desktop.main(), Qt::Key_Escape);

    desktop.store().setErrorMessage(QString("The tunnel broker returned HTTP 503."));
    ASSERT_TRUE(waitUntil([&] { return find(desktop.main(), "errorAlert"); }));
    screenshot(desktop.main(), "alert-light");
    desktop.store().setAppearanceMode("dark");
    screenshot(desktop.main(), "alert-dark");
}
