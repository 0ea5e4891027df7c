#include "tests/app/desktop_driver.h"

#include "support/test_support.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QPalette>
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

void writeEmptyState() {
    QuarryShareAppState state;
    state.port = freePort();
    writeState(state);
}

// An updater that only counts; it stands for the platform's update service.
struct CountingUpdater : BrightloomShareUpdater {
    explicit CountingUpdater(int* checks)
        : checks(checks) {}
    bool canCheckForUpdates() const override { return true; }
    void checkForUpdates() override { ++*checks; }
    int* checks;
};

std::unique_ptr<BrightloomShareUpdateController> controllerFor(const QJsonObject& metadata, int* checks,
                                                               int* created) {
    return std::make_unique<BrightloomShareUpdateController>(
        metadata, [=](const BrightloomShareUpdateController::Configuration&) {
            ++*created;
            return std::make_unique<CountingUpdater>(checks);
        });
}

} // namespace

TEST(Shell, StartsTheStoreOnlyOnceTheMainWindowAppears) {
    writeEmptyState();
    QuarryShareApp::useWindowStyle();
    QuarryShareApp shell;
    spin(300ms);
    EXPECT_EQ(shell.store().serverState().kind, QuarryShareWebServer::State::Kind::stopped)
        << "nothing starts without windows";
    ASSERT_TRUE(shell.openWindows());
    EXPECT_TRUE(waitUntil([&] { return shell.store().isServerRunning(); }));
    EXPECT_FALSE(shell.settingsWindow()->isVisible()) << "settings open only on request";
}

TEST(Shell, BecomingActiveAgainRestartsAServerThatIsDown) {
    const int port = freePort();
    QuarryShareAppState state;
    state.port = port;
    writeState(state);
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, port));
    QuarryShareStoreEnvironment slowRecovery;
    slowRecovery.timings.retryAfterFailure = std::chrono::hours(1);
    slowRecovery.timings.retryAfterStop = std::chrono::hours(1);
    slowRecovery.timings.failureAlertDelay = std::chrono::hours(1);
    Desktop desktop({}, slowRecovery);
    ASSERT_TRUE(waitUntil(
        [&] { return desktop.store().serverState().kind == QuarryShareWebServer::State::Kind::failed; }));
    // The activation of start-up has been handled (and failed on the occupied port) before the port frees.
    ASSERT_TRUE(waitUntil([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }));
    spin(300ms);
    occupant.close();

    spin(200ms);
    EXPECT_FALSE(desktop.store().isServerRunning()) << "the next retry is an hour away";
    // The user comes back from another application; the platform reports it.
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    Q_EMIT application->applicationStateChanged(Qt::ApplicationInactive);
    spin(200ms);
    EXPECT_FALSE(desktop.store().isServerRunning()) << "only becoming active counts";
    Q_EMIT application->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_TRUE(desktop.waitForServer()) << "activation retries at once instead of in an hour";
}

TEST(Shell, FirstRunIsDarkAndChoosingLightModeChangesBothWindowsAndIsKept) {
    writeEmptyState();
    Desktop desktop;
    desktop.openSettings();
    EXPECT_TRUE(looksDark(desktop.main()));
    EXPECT_TRUE(looksDark(desktop.settings()));
    EXPECT_EQ(iconOf(menuBarItem(desktop.main(), "View", "darkModeMenuItem")), "checkmark");
    EXPECT_EQ(iconOf(find(desktop.main(), "lightModeMenuItem")), "sun.max");
    EXPECT_EQ(iconOf(find(desktop.main(), "systemModeMenuItem")), "circle.lefthalf.filled");

    click(item(desktop.main(), "lightModeMenuItem"));
    EXPECT_FALSE(looksDark(desktop.main()));
    EXPECT_FALSE(looksDark(desktop.settings()));
    EXPECT_EQ(appearancePreference(), "light");
    EXPECT_EQ(iconOf(menuBarItem(desktop.main(), "View", "lightModeMenuItem")), "checkmark");
    EXPECT_EQ(iconOf(find(desktop.main(), "darkModeMenuItem")), "moon");
    pressKey(desktop.main(), Qt::Key_Escape);
    EXPECT_EQ(iconOf(itemIn(item(desktop.settings(), "appearanceButton_light"), "appearanceIcon")),
              "checkmark.circle.fill");
}

TEST(Shell, AStoredModeIsReadExactlyAndFollowSystemTracksTheDesktopPalette) {
    writeEmptyState();
    writeAppearancePreference("Light"); // not one of the raw values
    {
        Desktop desktop;
        EXPECT_TRUE(looksDark(desktop.main()));
    }
    writeAppearancePreference("system");
    QPalette lightDesktop;
    lightDesktop.setColor(QPalette::Window, QColor("#EFEFEF"));
    QGuiApplication::setPalette(lightDesktop);
    Desktop desktop;
    desktop.openSettings();
    EXPECT_FALSE(looksDark(desktop.main()));
    EXPECT_EQ(iconOf(itemIn(item(desktop.settings(), "appearanceButton_system"), "appearanceIcon")),
              "checkmark.circle.fill");

    QPalette darkDesktop;
    darkDesktop.setColor(QPalette::Window, QColor("#202020"));
    QGuiApplication::setPalette(darkDesktop);
    EXPECT_TRUE(waitUntil([&] { return looksDark(desktop.main()) && looksDark(desktop.settings()); }));

    click(item(desktop.settings(), "appearanceButton_light"));
    EXPECT_FALSE(looksDark(desktop.main())) << "an explicit mode wins over the desktop";
    EXPECT_EQ(appearancePreference(), "light");
    QGuiApplication::setPalette(QPalette());
}

TEST(Shell, AboutShowsTheApplicationAndItsVersion) {
    writeEmptyState();
    Desktop desktop;
    click(menuBarItem(desktop.main(), "brightloom Share", "aboutMenuItem"));
    QQuickItem* about = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (about = find(desktop.main(), "aboutDialog")) != nullptr; }));
    EXPECT_EQ(text(itemIn(about, "aboutName")), "brightloom Share");
    EXPECT_EQ(text(itemIn(about, "aboutVersion")), "Version " BRIGHTLOOM_VERSION);
    EXPECT_TRUE(desktop.main()->isActive());
    click(itemIn(about, "aboutOKButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(desktop.main(), "aboutDialog"); }));
}

TEST(UpdateController, NeedsBothKeysAsNonBlankText) {
    const struct {
        const char* json;
        bool configured;
    } cases[] = {
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":"a2V5"})", true},
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":" \n\t"})", false},
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":""})", false},
        {R"({"SUFeedURL":"https://updates.example/feed.xml"})", false},
        {R"({"SUFeedURL":"https://updates.example/feed.xml","SUPublicEDKey":42})", false},
        {R"({"SUFeedURL":["https://updates.example/feed.xml"],"SUPublicEDKey":"a2V5"})", false},
        {R"({})", false},
    };
    for (const auto& example : cases) {
        int checks = 0;
        int created = 0;
        const auto controller =
            controllerFor(QJsonDocument::fromJson(example.json).object(), &checks, &created);
        EXPECT_EQ(controller->canCheckForUpdates(), example.configured) << example.json;
        EXPECT_EQ(created, example.configured ? 1 : 0) << example.json;
        controller->checkForUpdates();
        EXPECT_EQ(checks, example.configured ? 1 : 0) << example.json;
    }
}

TEST(UpdateController, TheApplicationShipsWithoutUpdatesAndTheItemStaysDisabled) {
    const QJsonObject metadata = BrightloomShareUpdateController::applicationMetadata();
    EXPECT_TRUE(metadata.contains("SUFeedURL")) << "the metadata resource is compiled in";
    EXPECT_FALSE(BrightloomShareUpdateController::configuration(metadata));
    writeEmptyState();
    {
        Desktop desktop;
        EXPECT_FALSE(desktop.shell().updateController().canCheckForUpdates());
        EXPECT_FALSE(isEnabled(menuBarItem(desktop.main(), "brightloom Share", "checkForUpdatesMenuItem")));
    }
    int checks = 0;
    int created = 0;
    Desktop configured(
        {}, {},
        controllerFor(QJsonDocument::fromJson(R"({"SUFeedURL":"f","SUPublicEDKey":"k"})").object(), &checks,
                      &created));
    QQuickItem* check = menuBarItem(configured.main(), "brightloom Share", "checkForUpdatesMenuItem");
    ASSERT_TRUE(isEnabled(check));
    click(check);
    EXPECT_EQ(checks, 1);
}
