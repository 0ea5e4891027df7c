// The application run without windows, as a new user (or a service manager) would run it.
#include "model/state_document.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;
using testing_support::waitUntil;

namespace {

QString statePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Quarry Share/state.json");
}

QString syncthingConfigPath() {
    return QDir::homePath() + QStringLiteral("/.config/syncthing/config.xml");
}

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

// Lets Syncthing write its own configuration into the test's home folder.
void generateSyncthingConfig() {
    QProcess syncthing;
    syncthing.start(QStringLiteral("syncthing"),
                    {QStringLiteral("generate"), QStringLiteral("--home"),
                     QFileInfo(syncthingConfigPath()).path(), QStringLiteral("--skip-port-probing")});
    ASSERT_TRUE(syncthing.waitForFinished(60000));
    ASSERT_EQ(syncthing.exitCode(), 0) << syncthing.readAllStandardError().toStdString();
}

// One plain HTTP/1.1 exchange; the whole answer, or "" when nothing came.
QByteArray fetch(int port, const QByteArray& target) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QByteArray answer;
    waitUntil(
        [&] {
            socket.waitForReadyRead(20);
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10s);
    return answer + socket.readAll();
}

class Headless : public ::testing::Test {
protected:
    void TearDown() override {
        if (app.state() != QProcess::NotRunning) {
            app.kill();
            app.waitForFinished(5000);
        }
    }

    void launch() {
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(QStringLiteral(BRIGHTLOOM_SHARE_BINARY), {QStringLiteral("--headless")});
        ASSERT_TRUE(app.waitForStarted(10000));
    }

    bool waitForOutput(const QByteArray& text) {
        return waitUntil(
            [&] {
                output += app.readAll();
                return output.contains(text);
            },
            20s);
    }

    QProcess app;
    QByteArray output;
};

} // namespace

TEST_F(Headless, ServesTheStoredSharesImportsSpacesAndQuitsOnSigterm) {
    generateSyncthingConfig();
    const QString docs = testing_support::sandboxRoot() + QStringLiteral("/Docs");
    testing_support::writeFile(docs + QStringLiteral("/notes.txt"), "hello");
    QuarryShareAppState state;
    state.port = freePort();
    QuarryFolderShare share;
    share.name = QStringLiteral("Docs");
    share.path = docs;
    share.urlSlug = QStringLiteral("docs");
    share.isEnabled = true;
    state.shares = {share};
    testing_support::writeFile(statePath(), encodeAppState(state));

    launch();
    ASSERT_TRUE(waitForOutput(QStringLiteral("Listening on port %1.").arg(state.port).toUtf8()))
        << output.data();
    EXPECT_TRUE(fetch(state.port, "/docs/").startsWith("HTTP/1.1 200 OK"));
    const QByteArray listing = fetch(state.port, "/__browse/docs?path=");
    EXPECT_TRUE(listing.contains("\"notes.txt\"")) << listing.data();

    // The space Syncthing generated is listed, switched off, next to the stored share.
    QFile saved(statePath());
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const auto document = decodeAppState(saved.readAll());
    ASSERT_TRUE(document);
    ASSERT_EQ(document->shares.size(), 2);
    EXPECT_EQ(document->shares[0].id, share.id);
    EXPECT_EQ(document->shares[1].source, QuarryShareSource::quarry);
    EXPECT_EQ(document->shares[1].sourceFolderID, QStringLiteral("default"));
    EXPECT_FALSE(document->shares[1].isEnabled);

    ::kill(app.processId(), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(15000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    output += app.readAll();
    EXPECT_TRUE(output.contains("[brightloom Share] Quitting on signal 15.")) << output.data();
    EXPECT_TRUE(fetch(state.port, "/").isEmpty());
}

TEST_F(Headless, KilledDuringABurstOfSavesLeavesAReadableDocument) {
    QuarryShareAppState state;
    state.port = freePort();
    testing_support::writeFile(statePath(), encodeAppState(state));
    for (int round = 0; round < 4; ++round) {
        testing_support::writeFile(syncthingConfigPath(), "<configuration></configuration>");
        output.clear();
        launch();
        ASSERT_TRUE(waitForOutput("Listening on port")) << output.data();
        // Each SIGHUP re-reads a configuration that changed, and saves; kill at an arbitrary moment.
        const int killAfter = QRandomGenerator::global()->bounded(5, 60);
        for (int i = 0; i < killAfter; ++i) {
            QByteArray folders;
            for (int k = 0; k <= i % 7; ++k)
                folders += QStringLiteral("<folder id=\"f%1\" label=\"Folder %1\" path=\"/srv/f%1\"/>")
                               .arg(k)
                               .toUtf8();
            testing_support::writeFile(syncthingConfigPath(),
                                       "<configuration>" + folders + "</configuration>");
            ::kill(app.processId(), SIGHUP);
            testing_support::spin(2ms);
        }
        ::kill(app.processId(), SIGKILL);
        ASSERT_TRUE(app.waitForFinished(10000));

        QFile saved(statePath());
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        const auto document = decodeAppState(saved.readAll());
        ASSERT_TRUE(document) << "round " << round;
        EXPECT_EQ(document->installationID, state.installationID);
        // No temporary file or kept copy: every document written was whole.
        const QStringList files = QFileInfo(statePath()).absoluteDir().entryList(QDir::Files);
        EXPECT_TRUE(files.filter(QStringLiteral("unreadable")).isEmpty()) << files.join(", ").toStdString();
    }
}

TEST(CommandLine, HelpVersionAndUnknownOptions) {
    const auto run = [](const QStringList& arguments) {
        QProcess app;
        app.start(QStringLiteral(BRIGHTLOOM_SHARE_BINARY), arguments);
        app.waitForFinished(15000);
        return std::make_pair(app.exitCode(), app.readAllStandardOutput() + app.readAllStandardError());
    };
    const auto help = run({QStringLiteral("--help")});
    EXPECT_EQ(help.first, 0);
    EXPECT_TRUE(help.second.contains("--headless"));
    const auto version = run({QStringLiteral("--version")});
    EXPECT_EQ(version.first, 0);
    EXPECT_TRUE(version.second.startsWith("brightloom Share "));
    const auto unknown = run({QStringLiteral("--frobnicate")});
    EXPECT_EQ(unknown.first, 2);
    EXPECT_TRUE(unknown.second.contains("--frobnicate"));
}
