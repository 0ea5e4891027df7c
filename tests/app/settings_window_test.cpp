// The settings window: the web server's card, and start at login with the XDG autostart entry it writes.
#include "app/autostart.h"
#include "desktop_driver.h"

#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTcpServer>

#include <gtest/gtest.h>

using namespace app_testing;
using testing_support::spin;
using testing_support::waitUntil;
using namespace std::chrono_literals;

namespace {

// The server pill's text and dot colour, as "Listening on 8080 (#0e925d)".
QString serverPill(Desktop& desktop) {
    QQuickItem* pill = item(desktop.settings(), "serverStatusPill");
    return text(item(pill, "statusPillLabel")) + " (" + text(item(pill, "statusPillDot"), "color") + ")";
}

QString entryPath() {
    return qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/app.brightloom.share.desktop";
}

QByteArray entry() {
    QFile file(entryPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool switchIsOn(Desktop& desktop) {
    return item(desktop.settings(), "startAtLoginSwitch")->property("checked").toBool();
}

} // namespace

// The server card from a failed start on an occupied port to a new port applied on restart.
TEST(SettingsWindow, FailedStartRetriedOnActivationThenAPortAppliedOnRestart) {
    const QuarryShareAppState state = stateWith();
    const int port = state.port;
    writeState(state);
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, port));
    QuarryShareStoreEnvironment slowRecovery;
    slowRecovery.timings.retryAfterFailure = slowRecovery.timings.retryAfterStop = 1h;
    slowRecovery.timings.failureAlertDelay = 1h;
    Desktop desktop(std::move(slowRecovery));
    desktop.openSettings();
    QQuickWindow* settings = desktop.settings();
    EXPECT_EQ(settings->size(), QSize(620, 430));
    EXPECT_EQ(settings->minimumSize(), settings->maximumSize());
    EXPECT_EQ(item(settings, "settingsRail")->mapToScene(QPointF()), QPointF(24, 24));
    ASSERT_TRUE(waitUntil([&] { return serverPill(desktop) == "Couldn't start (#f4b500)"; }));
    // The activation of start-up has been handled (and failed on the occupied port) before the port frees.
    ASSERT_TRUE(waitUntil([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }));
    spin(300ms);
    occupant.close();

    // The user comes back from another application; the platform reports it.
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    Q_EMIT application->applicationStateChanged(Qt::ApplicationInactive);
    spin(200ms);
    EXPECT_FALSE(desktop.store().server()->isServerRunning()) << "only becoming active counts";
    Q_EMIT application->applicationStateChanged(Qt::ApplicationActive);
    const QString listening = "Listening on %1 (#0e925d)";
    ASSERT_TRUE(waitUntil([&] { return serverPill(desktop) == listening.arg(port); }))
        << "activation retries at once instead of in an hour";

    EXPECT_EQ(text(item(settings, "primaryAddressValue")),
              desktop.store().server()->availableOrigins().first());
    typeInto(item(settings, "portField"), "80");
    pressKey(settings, Qt::Key_Tab);
    EXPECT_EQ(readState()->port, port) << "ports below 1025 are ignored";
    EXPECT_EQ(text(item(settings, "portField")), QString::number(port)) << "the field shows the port kept";
    const int next = freePort();
    typeInto(item(settings, "portField"), " " + QString::number(next));
    pressKey(settings, Qt::Key_Return);
    EXPECT_EQ(readState()->port, next);
    EXPECT_TRUE(text(item(settings, "primaryAddressValue")).endsWith(QString(":%1/").arg(next)));
    EXPECT_EQ(serverPill(desktop), listening.arg(port)) << "until restarted";
    click(item(settings, "restartServerButton"));
    EXPECT_TRUE(waitUntil([&] { return serverPill(desktop) == listening.arg(next); }));

    writeSyncthingConfig({spaceShare("films", "Films", false)});
    click(item(settings, "settingsRefreshSpacesButton"));
    EXPECT_TRUE(waitUntil([&] { return find(desktop.main(), "shareRow_films") != nullptr; }));
    EXPECT_TRUE(find(desktop.main(), "spacesSectionHeader"));
}

TEST(StartAtLogin, TheSwitchWritesReadsAndRemovesTheAutostartEntry) {
    writeState(stateWith());
    Desktop desktop;
    desktop.openSettings();
    EXPECT_FALSE(switchIsOn(desktop));

    click(item(desktop.settings(), "startAtLoginSwitch"));
    ASSERT_TRUE(waitUntil([&] { return !entry().isEmpty(); }));
    EXPECT_TRUE(switchIsOn(desktop));
    const QByteArray written = entry();
    EXPECT_TRUE(written.startsWith("[Desktop Entry]\nType=Application\n")) << written.data();
    EXPECT_TRUE(
        written.contains("\nExec=" + QCoreApplication::applicationFilePath().toUtf8() + " --hidden\n"))
        << written.data();

    // Turned off elsewhere (the desktop's own settings write Hidden=true): the switch follows the file.
    testing_support::writeFile(entryPath(), written + "Hidden=true\n");
    desktop.settings()->close();
    desktop.openSettings();
    EXPECT_FALSE(switchIsOn(desktop));
    click(item(desktop.settings(), "startAtLoginSwitch"));
    ASSERT_TRUE(waitUntil([&] { return switchIsOn(desktop); }));
    EXPECT_FALSE(entry().contains("Hidden")) << "switching on writes a fresh entry";

    click(item(desktop.settings(), "startAtLoginSwitch"));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(entryPath()); }));
    EXPECT_FALSE(switchIsOn(desktop));

    // A file where the autostart folder should be: the switch stays off and the alert says why.
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart";
    ASSERT_TRUE(QDir(folder).removeRecursively());
    testing_support::writeFile(folder, "not a folder");
    click(item(desktop.settings(), "startAtLoginSwitch"));
    ASSERT_TRUE(waitUntil([&] { return find(desktop.main(), "errorAlert") != nullptr; }));
    EXPECT_TRUE(
        text(item(desktop.main(), "errorAlertMessage")).startsWith("Couldn't turn on start at login"));
    EXPECT_FALSE(switchIsOn(desktop));
}

TEST(StartAtLogin, ProgramPathsAreQuotedAsDesktopEntriesRequire) {
    const QByteArray entry = QuarryAutostart::entryFor("/opt/my apps/$HOME/100%/brightloom-share");
    EXPECT_TRUE(entry.contains("\nExec=\"/opt/my apps/\\\\$HOME/100%%/brightloom-share\" --hidden\n"))
        << entry.data();
    EXPECT_TRUE(QuarryAutostart::entryIsEnabled(entry));
    EXPECT_FALSE(QuarryAutostart::entryIsEnabled(entry + "X-GNOME-Autostart-enabled=false\n"));
    EXPECT_FALSE(QuarryAutostart::entryIsEnabled("Hidden=false\n")) << "no entry group at all";
}

// The main window's notice of a refused name adds it or puts it away; the settings list adds and removes.
TEST(HostNames, TheNoticeAndTheSettingsListKeepTheNamesTheUserTrusts) {
    writeState(stateWith());
    Desktop desktop;
    QuarryServerController& server = *desktop.store().server();
    QQuickWindow* main = desktop.main();
    EXPECT_FALSE(find(main, "hostNameNotice"));
    server.handleRefusedHostName("desktop.home.arpa");
    server.handleRefusedHostName("nas.lan");
    ASSERT_TRUE(waitUntil([&] { return find(main, "hostNameNotice") != nullptr; }));
    EXPECT_EQ(text(item(main, "hostNameNoticeText")),
              "A visitor used the name desktop.home.arpa to reach this computer");
    click(item(main, "allowHostNameButton"));
    EXPECT_EQ(readState()->allowedHostNames, QStringList{"desktop.home.arpa"});
    EXPECT_EQ(text(item(main, "hostNameNoticeText")),
              "A visitor used the name nas.lan to reach this computer");
    click(item(main, "dismissHostNameButton"));
    EXPECT_FALSE(find(main, "hostNameNotice"));
    server.handleRefusedHostName("nas.lan");
    EXPECT_FALSE(find(main, "hostNameNotice")) << "once per name and session";

    desktop.openSettings();
    QQuickWindow* settings = desktop.settings();
    EXPECT_TRUE(find(settings, "allowedHostName_desktop.home.arpa"));
    typeInto(item(settings, "hostNameField"), "Printer.Home.Arpa");
    click(item(settings, "addHostNameButton"));
    EXPECT_EQ(readState()->allowedHostNames, (QStringList{"desktop.home.arpa", "printer.home.arpa"}));
    EXPECT_EQ(text(item(settings, "hostNameField")), "");
    click(item(settings, "removeHostName_desktop.home.arpa"));
    EXPECT_EQ(readState()->allowedHostNames, QStringList{"printer.home.arpa"});
    EXPECT_TRUE(waitUntil([&] { return !find(settings, "allowedHostName_desktop.home.arpa"); }));
}
