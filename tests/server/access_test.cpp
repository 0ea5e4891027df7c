#include "server/router.h"
#include "server/unlock_throttle.h"
#include "server_fixture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace QuarryShareWeb;
using server_testing::makeShare;

TEST(Access, FailedUnlocksLockOutOneClientForAWhile) {
    QTemporaryDir folder;
    QuarryShareServerSnapshot snapshot;
    snapshot.shares = {makeShare("docs", folder.path(), true, QString("right")),
                       makeShare("other", folder.path(), true, QString("right"))};
    std::chrono::milliseconds now{1'000'000};
    QuarryUnlockThrottle throttle([&now] { return now; });
    const auto attempt = [&](const QString& slug, const QByteArray& password) {
        HTTPRequest request;
        request.method = "POST";
        request.target = "/__unlock/" + slug;
        request.body = "password=" + password;
        return route(request, snapshot, RequestContext{"10.0.0.1", &throttle, {}});
    };
    const auto unlocked = [&](const QString& slug) {
        return !attempt(slug, "right").cookieHeaders.isEmpty();
    };

    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(attempt("docs", "wrong").headers.value("Location"), "/docs/?failed=1");
        now += std::chrono::seconds(10);
    }
    // Locked out on this share only.
    EXPECT_FALSE(unlocked("docs"));
    EXPECT_TRUE(unlocked("other"));

    now += std::chrono::seconds(61);
    EXPECT_TRUE(unlocked("docs"));
    // The success cleared the count: four more failures do not lock.
    for (int i = 0; i < 4; ++i)
        attempt("docs", "wrong");
    EXPECT_TRUE(unlocked("docs"));

    // Failures spread beyond ten minutes never add up to a lockout.
    for (int i = 0; i < 12; ++i) {
        attempt("docs", "wrong");
        now += std::chrono::minutes(3);
    }
    EXPECT_TRUE(unlocked("docs"));
}

TEST(Access, LockoutsGrowToThirtyMinutesAndStayBounded) {
    std::chrono::milliseconds now{0};
    QuarryUnlockThrottle throttle([&now] { return now; });
    const auto lockOut = [&] {
        for (int i = 0; i < 5; ++i)
            throttle.recordFailure("c", "s");
        std::chrono::milliseconds length{0};
        while (throttle.isLockedOut("c", "s") && length < std::chrono::hours(2)) {
            now += std::chrono::seconds(1);
            length += std::chrono::seconds(1);
        }
        return std::chrono::duration_cast<std::chrono::minutes>(length + std::chrono::seconds(59));
    };
    for (int minutes : {1, 2, 4, 8, 16, 30, 30})
        EXPECT_EQ(lockOut().count(), minutes);

    // Many clients that fail once and go quiet are forgotten again.
    for (int i = 0; i < 3000; ++i) {
        throttle.recordFailure(QString::number(i), "s");
        if (i % 1000 == 999)
            now += std::chrono::hours(2);
    }
    EXPECT_LT(throttle.rememberedCount(), 2100);
}
