#include "tests/app/desktop_driver.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

using namespace desktop_testing;

namespace {

// Shares of both sources, one of them protected and one switched off; the server on a free port.
void writeShowcase() {
    QuarryShareAppState state;
    state.port = freePort();
    QuarryFolderShare photos = makeShare(QuarryShareSource::quarry, QStringLiteral("Family Photos"),
                                         QStringLiteral("family-photos"), true);
    protect(photos, QStringLiteral("sunflower"));
    state.shares = {
        photos, makeShare(QuarryShareSource::quarry, QStringLiteral("Music"), QStringLiteral("music"), false),
        makeShare(QuarryShareSource::custom, QStringLiteral("Project Notes"), QStringLiteral("project-notes"),
                  true)};
    writeState(state);
    writeSyncthingConfig({state.shares[0], state.shares[1]});
}

} // namespace

// Both windows, dark and light, with shares of both sources; the pictures land in the test build
// folder for a person to look at.
TEST(Screenshots, BothWindowsInBothAppearances) {
    writeShowcase();
    Desktop desktop;
    ASSERT_TRUE(desktop.waitForServer());
    click(item(desktop.main(), QStringLiteral("shareRow_family-photos")));
    ASSERT_TRUE(find(desktop.main(), QStringLiteral("removePasswordButton")))
        << "the protected share is shown";
    desktop.openSettings();
    for (const QString& mode : {QStringLiteral("dark"), QStringLiteral("light")}) {
        desktop.store().setAppearanceMode(mode);
        reveal(item(desktop.main(), QStringLiteral("headerCard")));
        screenshot(desktop.main(), QStringLiteral("main-") + mode);
        reveal(item(desktop.main(), QStringLiteral("removePasswordButton")));
        screenshot(desktop.main(), QStringLiteral("main-lower-") + mode);
        reveal(item(desktop.settings(), QStringLiteral("settingsHeader")));
        screenshot(desktop.settings(), QStringLiteral("settings-") + mode);
        reveal(item(desktop.settings(), QStringLiteral("tunnelToggleButton")));
        screenshot(desktop.settings(), QStringLiteral("settings-lower-") + mode);
    }
}

// The alert, a context menu and the view menu, for a person to look at.
TEST(Screenshots, AlertAndMenus) {
    writeShowcase();
    Desktop desktop;
    ASSERT_TRUE(desktop.waitForServer());
    rightClick(item(desktop.main(), QStringLiteral("shareRow_project-notes")));
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return find(desktop.main(), QStringLiteral("menuRemove")); }));
    screenshot(desktop.main(), QStringLiteral("context-menu-dark"));
    pressKey(desktop.main(), Qt::Key_Escape);

    desktop.store().setAppearanceMode(QStringLiteral("light"));
    menuBarItem(desktop.main(), QStringLiteral("View"), QStringLiteral("lightModeMenuItem"));
    screenshot(desktop.main(), QStringLiteral("view-menu-light"));
    pressKey(desktop.main(), Qt::Key_Escape);

    desktop.store().setErrorMessage(QStringLiteral("The tunnel broker returned HTTP 503."));
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return find(desktop.main(), QStringLiteral("errorAlert")); }));
    screenshot(desktop.main(), QStringLiteral("alert-light"));
    desktop.store().setAppearanceMode(QStringLiteral("dark"));
    screenshot(desktop.main(), QStringLiteral("alert-dark"));
}
