// The application run without windows, as a new user (or a service manager) would run it.
#include "app_process.h"
#include "desktop_driver.h"

#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <csignal>

using namespace app_testing;
using namespace std::chrono_literals;

namespace {

QString syncthingConfig() {
    return QDir::homePath() + "/.config/syncthing/config.xml";
}

} // namespace

TEST(Headless, ServesTheStoredSharesImportsSpacesAndQuitsOnSigterm) {
    // Syncthing writes its own configuration into the test's home folder.
    QProcess syncthing;
    syncthing.start("syncthing",
                    {"generate", "--home", QFileInfo(syncthingConfig()).path(), "--skip-port-probing"});
    ASSERT_TRUE(syncthing.waitForFinished(60000));
    ASSERT_EQ(syncthing.exitCode(), 0) << syncthing.readAllStandardError().toStdString();
    const QuarryShareAppState state = stateWith({makeShare({.slug = "docs", .name = "Docs"})});
    testing_support::writeFile(state.shares[0].path + "/notes.txt", "hello");
    writeState(state);

    AppProcess app;
    ASSERT_TRUE(app.start({"--headless"}));
    ASSERT_TRUE(app.waitForOutput(QString("Listening on port %1.").arg(state.port).toUtf8()))
        << app.output().data();
    EXPECT_TRUE(httpGet(state.port, "/__browse/docs?path=").contains("\"notes.txt\""));

    // The space Syncthing generated is listed, switched off, next to the stored share.
    const auto saved = readState();
    ASSERT_TRUE(saved && saved->shares.size() == 2);
    EXPECT_EQ(saved->shares[0].id, state.shares[0].id);
    EXPECT_EQ(saved->shares[1].sourceFolderID, "default");
    EXPECT_FALSE(saved->shares[1].isEnabled);

    EXPECT_EQ(app.stop(SIGTERM), 0);
    EXPECT_TRUE(app.output().contains("[brightloom Share] Quitting on signal 15."));
}

TEST(Headless, KilledDuringABurstOfSavesLeavesAReadableDocument) {
    const QuarryShareAppState state = stateWith();
    writeState(state);
    for (int round = 0; round < 4; ++round) {
        testing_support::writeFile(syncthingConfig(), "<configuration></configuration>");
        AppProcess app;
        ASSERT_TRUE(app.start({"--headless"}));
        ASSERT_TRUE(app.waitForOutput("Listening on port")) << app.output().data();
        // Each SIGHUP re-reads a configuration that changed, and saves; kill at an arbitrary moment.
        const int killAfter = QRandomGenerator::global()->bounded(5, 60);
        for (int i = 0; i < killAfter; ++i) {
            QByteArray folders;
            for (int k = 0; k <= i % 7; ++k)
                folders +=
                    QString("<folder id=\"f%1\" label=\"Folder %1\" path=\"/srv/f%1\"/>").arg(k).toUtf8();
            testing_support::writeFile(syncthingConfig(), "<configuration>" + folders + "</configuration>");
            ::kill(pid_t(app.pid()), SIGHUP);
            testing_support::spin(2ms);
        }
        ASSERT_EQ(app.stop(SIGKILL), -1);

        const auto saved = readState();
        ASSERT_TRUE(saved) << "round " << round;
        EXPECT_EQ(saved->installationID, state.installationID);
        // No kept copy of an unreadable file: every document written was whole.
        const QStringList files = QFileInfo(statePath()).absoluteDir().entryList(QDir::Files);
        EXPECT_TRUE(files.filter("unreadable").isEmpty()) << files.join(", ").toStdString();
    }
}
