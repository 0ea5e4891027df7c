#include "tests/app/desktop_driver.h"

#include "support/test_support.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QPalette>
#include <QSettings>
#include <QTcpServer>

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
    return QSettings("brightloom", "brightloom Share");
}

QString storedAppearance() {
    return preferences().value(QuarryShareStore::appearanceModeDefaultsKey).toString();
}

QString checkIconOf(QQuickWindow* settings, const QString& mode) {
    return iconOf(itemIn(item(settings, "appearanceButton_" + mode), "appearanceIcon"));
}

// An updater that only counts; it stands for the platform's update service.
struct CountingUpdater : BrightloomShareUpdater {
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

TEST(Shell, StartsTheStoreOnlyOnceTheMainWindowAppears) {
    writeState(stateWith());
    QuarryShareApp::useWindowStyle();
    QuarryShareApp shell;
    spin(300ms);
    EXPECT_EQ(shell.store().serverState().kind, QuarryShareWebServer::State::Kind::stopped);
    ASSERT_TRUE(shell.openWindows());
    EXPECT_TRUE(waitUntil([&] { return shell.store().isServerRunning(); }));
    EXPECT_FALSE(shell.settingsWindow()->isVisible()) << "settings open only on request";
}

TEST(Shell, BecomingActiveAgainRestartsAServerThatIsDown) {
    const QuarryShareAppState state = stateWith();
    writeState(state);
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, state.port));
    QuarryShareStoreEnvironment slowRecovery;
    slowRecovery.timings.retryAfterFailure = slowRecovery.timings.retryAfterStop = 1h;
    slowRecovery.timings.failureAlertDelay = 1h;
    Desktop desktop({}, slowRecovery);
    ASSERT_TRUE(waitUntil(
        [&] { return desktop.store().serverState().kind == QuarryShareWebServer::State::Kind::failed; }));
    // The activation of start-up has been handled (and failed on the occupied port) before the port frees.
    ASSERT_TRUE(waitUntil([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }));
    spin(300ms);
    occupant.close();

    // The user comes back from another application; the platform reports it.
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    Q_EMIT application->applicationStateChanged(Qt::ApplicationInactive);
    spin(200ms);
    EXPECT_FALSE(desktop.store().isServerRunning()) << "only becoming active counts";
    Q_EMIT application->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_TRUE(desktop.waitForServer()) << "activation retries at once instead of in an hour";
}

TEST(Shell, FirstRunIsDarkChoosingLightChangesBothWindowsAndIsKeptAndTheMenusWork) {
    writeState(stateWith());
    Desktop desktop;
    desktop.openSettings();
    EXPECT_TRUE(looksDark(desktop.main()) && looksDark(desktop.settings()));
    EXPECT_EQ(iconOf(menuBarItem(desktop.main(), "View", "darkModeMenuItem")), "checkmark");
    click(item(desktop.main(), "lightModeMenuItem"));
    EXPECT_FALSE(looksDark(desktop.main()) || looksDark(desktop.settings()));
    EXPECT_EQ(storedAppearance(), "light");
    EXPECT_EQ(iconOf(menuBarItem(desktop.main(), "View", "lightModeMenuItem")), "checkmark");
    EXPECT_NE(iconOf(find(desktop.main(), "darkModeMenuItem")), "checkmark");
    pressKey(desktop.main(), Qt::Key_Escape);
    EXPECT_EQ(checkIconOf(desktop.settings(), "light"), "checkmark.circle.fill");

    // The application ships without update metadata, so its update item stays disabled.
    EXPECT_FALSE(isEnabled(menuBarItem(desktop.main(), "brightloom Share", "checkForUpdatesMenuItem")));
    click(item(desktop.main(), "aboutMenuItem"));
    QQuickItem* about = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (about = find(desktop.main(), "aboutDialog")) != nullptr; }));
    EXPECT_EQ(text(itemIn(about, "aboutName")), "brightloom Share");
    EXPECT_EQ(text(itemIn(about, "aboutVersion")), "Version " BRIGHTLOOM_VERSION);
    EXPECT_TRUE(desktop.main()->isActive());
    click(itemIn(about, "aboutOKButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(desktop.main(), "aboutDialog"); }));
}

TEST(Shell, AStoredModeIsReadExactlyAndFollowSystemTracksTheDesktopPalette) {
    writeState(stateWith());
    preferences().setValue(QuarryShareStore::appearanceModeDefaultsKey, "Light"); // not a raw value
    {
        Desktop desktop;
        EXPECT_TRUE(looksDark(desktop.main()));
    }
    preferences().setValue(QuarryShareStore::appearanceModeDefaultsKey, "system");
    QPalette desktopPalette;
    desktopPalette.setColor(QPalette::Window, QColor("#EFEFEF"));
    QGuiApplication::setPalette(desktopPalette);
    Desktop desktop;
    desktop.openSettings();
    EXPECT_FALSE(looksDark(desktop.main()));
    EXPECT_EQ(checkIconOf(desktop.settings(), "system"), "checkmark.circle.fill");

    desktopPalette.setColor(QPalette::Window, QColor("#202020"));
    QGuiApplication::setPalette(desktopPalette);
    EXPECT_TRUE(waitUntil([&] { return looksDark(desktop.main()) && looksDark(desktop.settings()); }));

    click(item(desktop.settings(), "appearanceButton_light"));
    EXPECT_FALSE(looksDark(desktop.main())) << "an explicit mode wins over the desktop";
    EXPECT_EQ(storedAppearance(), "light");
    QGuiApplication::setPalette(QPalette());
}

TEST(UpdateController, NeedsBothKeysAsNonBlankTextAndThenChecksFromTheMenu) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":"a2V5"})", true},
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":" \n\t"})", false},
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":42})", false},
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
    writeState(stateWith());
    int checks = 0;
    Desktop desktop({}, {}, controllerFor(R"({"SUFeedURL":"f","SUPublicEDKey":"k"})", &checks));
    QQuickItem* check = menuBarItem(desktop.main(), "brightloom Share", "checkForUpdatesMenuItem");
    ASSERT_TRUE(isEnabled(check));
    click(check);
    EXPECT_EQ(checks, 1);
}
