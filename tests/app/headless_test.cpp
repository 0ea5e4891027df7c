// The application run without windows, as a new user (or a service manager) would run it.
#include "desktop_driver.h"

#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <csignal>

using namespace desktop_testing;
using namespace std::chrono_literals;
using testing_support::waitUntil;

namespace {

QString syncthingConfig() {
    return QDir::homePath() + "/.config/syncthing/config.xml";
}

// The application under test; QProcess kills it if a test ends early.
class Headless : public ::testing::Test {
protected:
    void launch() {
        output.clear();
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(BRIGHTLOOM_SHARE_BINARY, {"--headless"});
        ASSERT_TRUE(app.waitForStarted(10000));
    }

    bool waitForOutput(const QByteArray& text) {
        return waitUntil([&] { return (output += app.readAll()).contains(text); }, 20s);
    }

    QProcess app;
    QByteArray output;
};

} // namespace

TEST_F(Headless, ServesTheStoredSharesImportsSpacesAndQuitsOnSigterm) {
    // Syncthing writes its own configuration into the test's home folder.
    QProcess syncthing;
    syncthing.start("syncthing",
                    {"generate", "--home", QFileInfo(syncthingConfig()).path(), "--skip-port-probing"});
    ASSERT_TRUE(syncthing.waitForFinished(60000));
    ASSERT_EQ(syncthing.exitCode(), 0) << syncthing.readAllStandardError().toStdString();
    const QuarryShareAppState state = stateWith({makeShare({.slug = "docs", .name = "Docs"})});
    testing_support::writeFile(state.shares[0].path + "/notes.txt", "hello");
    writeState(state);

    launch();
    ASSERT_TRUE(waitForOutput(QString("Listening on port %1.").arg(state.port).toUtf8())) << output.data();
    QTcpSocket browser; // the server closes after each answer
    browser.connectToHost(QHostAddress::LocalHost, state.port);
    ASSERT_TRUE(browser.waitForConnected(5000));
    browser.write("GET /__browse/docs?path= HTTP/1.1\r\nHost: localhost\r\n\r\n");
    browser.waitForDisconnected(10000);
    EXPECT_TRUE(browser.readAll().contains("\"notes.txt\""));

    // The space Syncthing generated is listed, switched off, next to the stored share.
    const auto saved = readState();
    ASSERT_TRUE(saved && saved->shares.size() == 2);
    EXPECT_EQ(saved->shares[0].id, state.shares[0].id);
    EXPECT_EQ(saved->shares[1].sourceFolderID, "default");
    EXPECT_FALSE(saved->shares[1].isEnabled);

    ::kill(app.processId(), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(15000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_TRUE((output + app.readAll()).contains("[brightloom Share] Quitting on signal 15."));
}

TEST_F(Headless, KilledDuringABurstOfSavesLeavesAReadableDocument) {
    const QuarryShareAppState state = stateWith();
    writeState(state);
    for (int round = 0; round < 4; ++round) {
        testing_support::writeFile(syncthingConfig(), "<configuration></configuration>");
        launch();
        ASSERT_TRUE(waitForOutput("Listening on port")) << output.data();
        // Each SIGHUP re-reads a configuration that changed, and saves; kill at an arbitrary moment.
        const int killAfter = QRandomGenerator::global()->bounded(5, 60);
        for (int i = 0; i < killAfter; ++i) {
            QByteArray folders;
            for (int k = 0; k <= i % 7; ++k)
                folders +=
                    QString("<folder id=\"f%1\" label=\"Folder %1\" path=\"/srv/f%1\"/>").arg(k).toUtf8();
            testing_support::writeFile(syncthingConfig(), "<configuration>" + folders + "</configuration>");
            ::kill(app.processId(), SIGHUP);
            testing_support::spin(2ms);
        }
        ::kill(app.processId(), SIGKILL);
        ASSERT_TRUE(app.waitForFinished(10000));

        const auto saved = readState();
        ASSERT_TRUE(saved) << "round " << round;
        EXPECT_EQ(saved->installationID, state.installationID);
        // No kept copy of an unreadable file: every document written was whole.
        const QStringList files = QFileInfo(statePath()).absoluteDir().entryList(QDir::Files);
        EXPECT_TRUE(files.filter("unreadable").isEmpty()) << files.join(", ").toStdString();
    }
}

TEST(CommandLine, HelpVersionAndUnknownOptions) {
    const std::tuple<const char*, int, QByteArray> cases[] = {
        {"--help", 0, "--headless"},
        {"--version", 0, "brightloom Share " BRIGHTLOOM_VERSION},
        {"--frobnicate", 2, "--frobnicate"}};
    for (const auto& [option, status, says] : cases) {
        QProcess app;
        app.start(BRIGHTLOOM_SHARE_BINARY, {option});
        ASSERT_TRUE(app.waitForFinished(15000));
        EXPECT_EQ(app.exitCode(), status) << option;
        EXPECT_TRUE((app.readAllStandardOutput() + app.readAllStandardError()).contains(says)) << option;
    }
}
