// Start at login: the settings window's switch and the XDG autostart entry it writes and reads.
#include "app/autostart.h"
#include "desktop_driver.h"

#include "support/test_support.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace desktop_testing;
using testing_support::waitUntil;

namespace {

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

void reopenSettings(Desktop& desktop) {
    desktop.settings()->close();
    desktop.openSettings();
}

} // namespace

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
    reopenSettings(desktop);
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
