// The tray icon under a real X server with a tray host and a notification server on the session bus:
// what closing the main window does with a tray and without one, and what the tray shows and offers.
#include "app_process.h"
#include "desktop_driver.h"
#include "tray_host.h"

#include "support/test_support.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

using namespace app_testing;
using namespace std::chrono_literals;

namespace {

class Tray : public ::testing::Test {
protected:
    void SetUp() override {
        desktop().setTrayPresent(true);
        desktop().clear();
        state = stateWith({makeShare({.slug = "docs", .name = "Docs"})});
        testing_support::writeFile(state.shares[0].path + "/notes.txt", "hello");
        writeState(state);
    }

    static FakeDesktopServices& desktop() { return FakeDesktopServices::instance(); }
    bool serves() const { return httpGet(state.port, "/__browse/docs?path=").contains("\"notes.txt\""); }

    // Runs the application's own event loop for a while, as after start-up; its exit code, or
    // `stillRunning` when nothing ended it.
    static int runEventLoop(std::chrono::milliseconds duration, int stillRunning = 42) {
        QTimer::singleShot(duration, qApp, [stillRunning] { QCoreApplication::exit(stillRunning); });
        return QApplication::exec();
    }

    QuarryShareAppState state;
};

QAction* action(QuarryTray& tray, const char* name) {
    return tray.menu().findChild<QAction*>(name);
}

} // namespace

TEST_F(Tray, ClosingTheMainWindowKeepsServingAndSaysSoOnceWhileATrayIsThereAndQuitsOnceItIsGone) {
    Desktop app;
    ASSERT_TRUE(app.waitForServer());
    QuarryTray* tray = app.shell().tray();
    ASSERT_TRUE(tray && tray->isVisible());
    EXPECT_TRUE(testing_support::waitUntil([&] { return !desktop().registeredItems().isEmpty(); }))
        << "the icon registers with the tray host";
    int quits = 0;
    QObject::connect(&app.shell(), &QuarryShareApp::quitRequested, [&] { ++quits; });

    for (int round = 0; round < 2; ++round) {
        app.main()->close();
        EXPECT_TRUE(testing_support::waitUntil([&] { return !app.main()->isVisible(); }));
        EXPECT_EQ(runEventLoop(1500ms), 42) << "the application keeps running";
        EXPECT_TRUE(serves());
        EXPECT_TRUE(testing_support::waitUntil([&] { return desktop().notifications().size() == 1; }));
        // "Open brightloom Share" brings the window back.
        action(*tray, "trayOpenAction")->trigger();
        EXPECT_TRUE(testing_support::waitUntil([&] { return app.main()->isVisible(); }));
    }
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(desktop().notifications().size(), 1) << "said once, not at every close";
    EXPECT_TRUE(desktop().notifications().value(0).startsWith("brightloom Share keeps sharing|"));
    action(*tray, "trayQuitAction")->trigger();
    EXPECT_EQ(quits, 1);

    // The panel went away after the start: without a tray at the moment of closing, closing quits.
    desktop().setTrayPresent(false);
    QTimer::singleShot(0, app.main(), [&] { app.main()->close(); });
    EXPECT_EQ(runEventLoop(10s), 0) << "the event loop ends at once";
    EXPECT_EQ(quits, 2);
    EXPECT_EQ(desktop().notifications().size(), 1);
}

TEST_F(Tray, ItShowsServingAndThePublicLinkAndUpdatesItsActionsInPlace) {
    state.shares[0] = makeShare({.slug = "docs", .name = "Docs", .password = "pw"});
    state.publicTunnel.brokerURL = "  "; // a start fails at once, without a network
    writeState(state);
    QuarryShareStoreEnvironment environment;
    QuarryShareWebServer* server = (environment.webServer = std::make_unique<QuarryShareWebServer>()).get();
    Desktop app(std::move(environment));
    ASSERT_TRUE(app.waitForServer());
    QuarryTray& tray = *app.shell().tray();
    const QList<QAction*> actions = tray.menu().actions();
    QAction* link = action(tray, "trayPublicLinkAction");
    const QString serving = QString("Web server: Listening on %1").arg(state.port);
    EXPECT_EQ(tray.toolTip(), "brightloom Share\n" + serving + "\nPublic link: Off");
    EXPECT_EQ(link->text(), "Turn On Public Link");
    EXPECT_FALSE(link->isEnabled()) << "no cloudflared to publish with";
    const qint64 servingIcon = tray.iconKey();

    // cloudflared appears; the link may be turned on from the tray, and fails there visibly.
    testing_support::writeFile(testing_support::sandboxRoot() + "/bin/cloudflared", "#!/bin/sh\n");
    QFile::setPermissions(testing_support::sandboxRoot() + "/bin/cloudflared",
                          QFile::ReadOwner | QFile::ExeOwner);
    app.store().handleApplicationActivated();
    EXPECT_TRUE(link->isEnabled());
    link->trigger();
    EXPECT_TRUE(
        testing_support::waitUntil([&] { return tray.toolTip().endsWith("Public link: Needs attention"); }));
    EXPECT_NE(tray.iconKey(), servingIcon) << "the picture shows the link's trouble";

    server->stop();
    EXPECT_TRUE(testing_support::waitUntil([&] { return tray.toolTip().contains("Web server: Stopped"); }));
    EXPECT_EQ(tray.menu().actions(), actions) << "the same actions, updated in place";
    EXPECT_EQ(action(tray, "trayPublicLinkAction"), link);
}

TEST_F(Tray, HiddenStartsServeWithoutAWindowOnlyWhereATrayCanBringItBack) {
    for (const bool trayPresent : {true, false}) {
        SCOPED_TRACE(trayPresent);
        desktop().setTrayPresent(trayPresent);
        QuarryShareApp::useWindowStyle();
        QuarryShareApp shell;
        ASSERT_TRUE(shell.openWindows(/*hidden=*/true));
        EXPECT_TRUE(testing_support::waitUntil([&] { return shell.store().server()->isServerRunning(); }));
        EXPECT_EQ(shell.mainWindow()->isVisible(), !trayPresent);
        EXPECT_TRUE(serves());
    }
    // Qt Quick tears its scene graph down in rounds of deleteLater.
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

// The notice of a folder downloaded whole through the public link, also in pieces (a cut answer, then a
// range from where it stopped) as long as they reached one visitor; one a minute; none while turned off.
TEST_F(Tray, AnArchiveDownloadedWholeThroughThePublicLinkIsAnnouncedOnceAlsoWhenResumed) {
    state = stateWith({makeShare({.slug = "photos", .name = "Family Photos"})});
    writeState(state);
    testing_support::writeFile(state.shares[0].path + "/film.mov", {});
    ASSERT_TRUE(QFile::resize(state.shares[0].path + "/film.mov", 24 << 20));
    Desktop app;
    ASSERT_TRUE(app.waitForServer());
    const auto& events = app.store().activity()->events();
    const auto fetch = [&](const QByteArray& address, const QByteArray& head = {}) {
        const size_t before = events.size();
        const int status = statusOf(
            httpGet(state.port, "/photos/?download=1", "Cf-Connecting-Ip: " + address + "\r\n" + head));
        EXPECT_TRUE(testing_support::waitUntil([&] { return events.size() > before; }));
        testing_support::spin(300ms); // a notice would have come by now
        return status;
    };
    app.store().setNotifiesDownloads(false);
    EXPECT_EQ(fetch("203.0.113.9"), 200);
    app.store().setNotifiesDownloads(true);
    QByteArray taken;
    partialExchange(
        state.port,
        "GET /photos/?download=1 HTTP/1.1\r\nHost: localhost\r\nCf-Connecting-Ip: 203.0.113.9\r\n\r\n",
        1 << 18, &taken);
    ASSERT_TRUE(testing_support::waitUntil([&] { return events.size() == 2 && !events.back().complete; }));
    const QByteArray rest =
        "Range: bytes=" + QByteArray::number(taken.size() - taken.indexOf("\r\n\r\n") - 4) +
        "-\r\nIf-Range: " + QRegularExpression("ETag: ([^\r]+)").match(taken).captured(1).toUtf8() + "\r\n";
    EXPECT_EQ(fetch("198.51.100.7", rest), 206) << "another visitor's rest makes nobody's whole";
    EXPECT_EQ(desktop().notifications(), QStringList());
    EXPECT_EQ(fetch("203.0.113.9", rest), 206);
    EXPECT_TRUE(testing_support::waitUntil([&] { return desktop().notifications().size() == 1; }));
    EXPECT_EQ(desktop().notifications().value(0).section('|', 0, 0),
              "Family Photos.zip, 25.2 MB, downloaded through the public link");
    EXPECT_EQ(fetch("203.0.113.9"), 200);
    EXPECT_EQ(desktop().notifications().size(), 1) << "one a minute at most";
}
