#include "server_fixture.h"
#include "support/test_support.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace server_testing;

TEST(ServeShares, ServesTheFoldersItIsGivenUntilTold) {
    QTemporaryDir folder;
    makeFile(folder.path() + "/docs/a.txt", "hello");
    QProcess launcher;
    launcher.setProgram(BRIGHTLOOM_SERVE_SHARES);
    launcher.setArguments({"--password", "locked", "pw", "--port", "0", "--share", "docs",
                           folder.path() + "/docs", "--name", "docs", "Team Docs", "--share", "locked",
                           folder.path() + "/docs", "--share", "off", folder.path() + "/docs", "--disabled",
                           "off"});
    launcher.start();
    ASSERT_TRUE(launcher.waitForStarted());
    ASSERT_TRUE(testing_support::waitUntil([&] { return launcher.canReadLine(); }));
    const QString line = QString::fromUtf8(launcher.readLine());
    ASSERT_TRUE(line.startsWith("LISTENING ")) << line.toStdString();
    ASSERT_TRUE(line.endsWith('\n'));
    const int port = line.mid(10).trimmed().toInt();
    ASSERT_GT(port, 0);

    EXPECT_EQ(get(port, "/docs/a.txt?download=1").body, "hello");
    EXPECT_TRUE(get(port, "/docs/").text().contains("<title>Team Docs</title>"));
    EXPECT_EQ(get(port, "/locked/").status, 401);
    EXPECT_EQ(request(port, "POST", "/__unlock/locked", {}, "password=pw").header("Location"), "/locked/");
    EXPECT_EQ(get(port, "/off/").status, 404);

    launcher.closeWriteChannel();
    EXPECT_TRUE(launcher.waitForFinished(10000));
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);

    QProcess wrong;
    wrong.start(BRIGHTLOOM_SERVE_SHARES, {"--share", "x"});
    EXPECT_TRUE(wrong.waitForFinished(10000));
    EXPECT_EQ(wrong.exitCode(), 2);
}

TEST(ServeShares, EndsOnTermination) {
    QProcess launcher;
    launcher.start(BRIGHTLOOM_SERVE_SHARES, {"--port", "0"});
    ASSERT_TRUE(launcher.waitForStarted());
    ASSERT_TRUE(testing_support::waitUntil([&] { return launcher.canReadLine(); }));
    ::kill(static_cast<pid_t>(launcher.processId()), SIGTERM);
    EXPECT_TRUE(launcher.waitForFinished(10000));
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
}
