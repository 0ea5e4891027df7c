// The application as the desktop session runs it: started twice, ended by signals, killed outright.
#include "app_process.h"
#include "desktop_driver.h"

#include "store/keychain.h"
#include "support/fake_cloudflared.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

using namespace app_testing;
using namespace std::chrono_literals;

namespace {

// A state with one open share on a free port, whose listing names notes.txt.
QuarryShareAppState servedState() {
    QuarryShareAppState state = stateWith({makeShare({.slug = "docs", .name = "Docs"})});
    testing_support::writeFile(state.shares[0].path + "/notes.txt", "hello");
    return state;
}

bool serves(int port) {
    return httpGet(port, "/__browse/docs?path=").contains("\"notes.txt\"");
}

} // namespace

TEST(OneInstance, LaterStartsHandOverAndEndWhileTheFirstKeepsServingAndALockNeverGoesStale) {
    const QuarryShareAppState state = servedState();
    writeState(state);
    AppProcess first;
    ASSERT_TRUE(first.start({}));
    ASSERT_TRUE(testing_support::waitUntil([&] { return serves(state.port); }, 30s)) << first.output().data();

    for (const QStringList& arguments : {QStringList(), QStringList{"--headless"}, QStringList{"--hidden"}}) {
        AppProcess later;
        ASSERT_TRUE(later.start(arguments));
        EXPECT_EQ(later.finish(), 0) << later.output().data();
        EXPECT_TRUE(later.output().contains("already running; handed over to it")) << later.output().data();
    }
    EXPECT_TRUE(first.waitForOutput("Another start found this one running and handed over to it."));
    EXPECT_TRUE(serves(state.port)) << "the first one serves on, never a second server";

    // Killed outright: the kernel drops the lock with the process, and the next start is the first.
    EXPECT_EQ(first.stop(SIGKILL), -1);
    AppProcess headless;
    ASSERT_TRUE(headless.start({"--headless"}));
    ASSERT_TRUE(headless.waitForOutput("Listening on port")) << headless.output().data();
    EXPECT_TRUE(serves(state.port));

    // The headless one holds the same lock; a desktop start is told so and ends.
    AppProcess desktop;
    ASSERT_TRUE(desktop.start({}));
    EXPECT_EQ(desktop.finish(), 0);
    EXPECT_TRUE(desktop.output().contains("already running without windows")) << desktop.output().data();

    // Another state folder is another application.
    qputenv("XDG_DATA_HOME", QFile::encodeName(testing_support::sandboxRoot() + "/other-data"));
    const QuarryShareAppState other = servedState();
    writeState(other);
    AppProcess second;
    ASSERT_TRUE(second.start({"--headless"}));
    EXPECT_TRUE(second.waitForOutput(QString("Listening on port %1.").arg(other.port).toUtf8()))
        << second.output().data();
    EXPECT_EQ(second.stop(SIGTERM), 0);
    EXPECT_EQ(headless.stop(SIGTERM), 0);
}

TEST(Signals, EndTheDesktopApplicationLikeQuitAndNoneLeavesItsPublicLinkChildBehind) {
    // A copy of the application with a stand-in cloudflared beside it, where it looks first.
    const QString folder = testing_support::sandboxRoot() + "/app";
    QDir().mkpath(folder);
    const QString program = folder + "/brightloom-share";
    ASSERT_TRUE(QFile::copy(BRIGHTLOOM_SHARE_BINARY, program));
    testing_support::writeFakeCloudflared(folder, "exec sleep 600");
    // The public link was on when the application last ran; its token waits in the secret-store file.
    const NoSessionBus noBus;
    QuarryShareAppState state = servedState();
    state.shares[0] = makeShare({.slug = "docs", .name = "Docs", .password = "secret"});
    state.publicTunnel.isEnabled = true;
    state.publicTunnel.hostname = "docs-team.example.net";
    writeState(state);
    ASSERT_TRUE(QuarryShareKeychain::save("token", "publicTunnelToken:" + state.installationID));

    // Killed outright, it cannot end its child itself: the kernel does, soon after.
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signal);
        AppProcess app(program);
        const qsizetype launched = testing_support::launchesIn(folder).size();
        ASSERT_TRUE(app.start({}));
        ASSERT_TRUE(testing_support::waitUntil(
            [&] { return testing_support::launchesIn(folder).size() == launched + 1; }, 30s))
            << app.output().data();
        const qint64 child = testing_support::pidOf(testing_support::launchesIn(folder).last());
        EXPECT_TRUE(testing_support::waitUntil([&] {
            return statusOf(httpGet(state.port, "/docs/")) == 401;
        })) << "the protected share is served";
        const bool killed = signal == SIGKILL;
        EXPECT_EQ(app.stop(signal), killed ? -1 : 0) << app.output().data();
        EXPECT_EQ(app.output().contains(QString("Quitting on signal %1.").arg(signal).toUtf8()), !killed);
        EXPECT_TRUE(killed ? testing_support::waitUntil([&] { return !testing_support::isAlive(child); })
                           : ::kill(pid_t(child), 0) != 0 && errno == ESRCH)
            << "cloudflared " << child << " was left behind";
        EXPECT_EQ(statusOf(httpGet(state.port, "/docs/")), 0) << "nothing listens any more";
    }
    EXPECT_TRUE(readState()->publicTunnel.isEnabled) << "quitting keeps the link on for the next start";
}
