#include "support/fake_cloudflared.h"
#include "support/test_support.h"
#include "tunnel/cloudflared_supervisor.h"

#include <QDir>

#include <gtest/gtest.h>

using Status = QuarryTunnelStatus;
using testing_support::isAlive;
using testing_support::launchesIn;
using testing_support::pidOf;
using testing_support::spin;
using testing_support::waitUntil;
using testing_support::writeFakeCloudflared;
using namespace std::chrono_literals;

namespace {

std::string describe(const QList<Status>& reports) {
    QStringList words;
    for (const Status& status : reports)
        words << (status.text.isEmpty() ? status.label() : status.label() + "(" + status.text + ")");
    return words.join(", ").toStdString();
}

class CloudflaredSupervisor : public ::testing::Test {
protected:
    void SetUp() override {
        service->setStatusHandler([this](const Status& status) { reports.append(status); });
        service->setCloudflaredCandidates({}); // never a real cloudflared
    }

    // Each test has a sandbox of its own.
    static QString folder() { return testing_support::sandboxRoot(); }
    void useFake(const QByteArray& behaviour) {
        service->setCloudflaredCandidates({writeFakeCloudflared(folder(), behaviour)});
    }
    QList<QByteArray> launches() const { return launchesIn(folder()); }
    bool waitForReports(qsizetype count) {
        return waitUntil([&] { return reports.size() >= count; });
    }

    std::unique_ptr<QuarryCloudflaredSupervisor> service = std::make_unique<QuarryCloudflaredSupervisor>();
    QList<Status> reports;
};

} // namespace

TEST_F(CloudflaredSupervisor, ChildGetsTheTokenOnlyThroughItsEnvironmentAndItsExitIsReported) {
    // Plenty of output on both channels, which nobody reads: the child must still run to its end.
    useFake("head -c 4000000 /dev/zero; head -c 4000000 /dev/zero >&2; exit 0");
    qputenv("BRIGHTLOOM_TEST_MARKER", "inherited");
    const QuarryResult<void> started = service->start(QStringLiteral("s3cr3t-token"), "photos.example.net");
    qunsetenv("BRIGHTLOOM_TEST_MARKER"); // the child has its copy; the next test gets none
    ASSERT_TRUE(started);
    EXPECT_TRUE(reports.isEmpty()) << "reports are queued, never delivered inside start()";
    ASSERT_TRUE(waitForReports(4));
    EXPECT_EQ(describe(reports), "Off, Starting, Online(photos.example.net), Off");
    ASSERT_EQ(launches().size(), 1);
    EXPECT_EQ(launches()[0].mid(launches()[0].indexOf(' ') + 1), "tunnel run|s3cr3t-token|inherited");

    for (const auto& [behaviour, status] :
         {std::pair{"exit 1", 1}, {"sleep 0.3; exit 2", 2}, {"kill -KILL $$", 9}}) {
        reports.clear();
        useFake(behaviour);
        ASSERT_TRUE(service->start(QStringLiteral("t"), QStringLiteral("h")));
        ASSERT_TRUE(waitForReports(4)) << behaviour;
        EXPECT_EQ(describe(reports),
                  "Off, Starting, Online(h), Needs attention(cloudflared exited with status " +
                      std::to_string(status) + ".)")
            << behaviour;
    }
}

TEST_F(CloudflaredSupervisor, StoppingOrReplacingAChildIsNeverAFailureAndQuittingLeavesNoChild) {
    useFake("exec sleep 30");
    ASSERT_TRUE(service->start(QStringLiteral("t"), QStringLiteral("first")));
    ASSERT_TRUE(waitUntil([&] { return launches().size() == 1; }));
    ASSERT_TRUE(service->start(QStringLiteral("t"), QStringLiteral("second")));
    ASSERT_TRUE(waitUntil([&] { return launches().size() == 2; }));
    const qint64 first = pidOf(launches()[0]);
    const qint64 second = pidOf(launches()[1]);
    EXPECT_TRUE(waitUntil([&] { return !isAlive(first); }));
    EXPECT_TRUE(isAlive(second));

    service->stop();
    EXPECT_TRUE(waitUntil([&] { return !isAlive(second); }));
    spin(300ms);
    EXPECT_EQ(describe(reports), "Off, Starting, Online(first), Off, Starting, Online(second), Off");

    // Destroying the service (the application quitting) ends even a child that ignores SIGTERM.
    useFake("trap '' TERM; exec sleep 30");
    ASSERT_TRUE(service->start(QStringLiteral("t"), QStringLiteral("third")));
    ASSERT_TRUE(waitUntil([&] { return launches().size() == 3; }));
    const qint64 stubborn = pidOf(launches()[2]);
    ASSERT_TRUE(isAlive(stubborn));
    service.reset();
    EXPECT_FALSE(isAlive(stubborn));
}

TEST_F(CloudflaredSupervisor, FindsOnlyRunnableCandidatesAndSaysSoWhenThereIsNone) {
    const QString plain = folder() + "/plain/cloudflared"; // not executable
    testing_support::writeFile(plain, "#!/bin/sh\nexit 0\n");
    QDir().mkpath(folder() + "/folder/cloudflared");
    const QStringList unusable{folder() + "/missing", plain, folder() + "/folder/cloudflared"};
    const QString runnable = writeFakeCloudflared(folder(), "exit 0");
    service->setCloudflaredCandidates(unusable + QStringList{runnable, "/bin/true"});
    EXPECT_EQ(service->cloudflaredExecutableURL().value_or("<none>").toStdString(), runnable.toStdString());

    service->setCloudflaredCandidates(unusable);
    EXPECT_FALSE(service->cloudflaredExecutableURL().has_value());
    const QuarryResult<void> missing = service->start(QStringLiteral("t"), QStringLiteral("h"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "cloudflared is not installed or bundled with brightloom Share.");
}
