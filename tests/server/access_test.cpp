#include "server/access.h"
#include "server/router.h"
#include "server/unlock_throttle.h"
#include "server_fixture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace QuarryShareWeb;
using server_testing::makeShare;

TEST(Access, DigestsCookiesAndComparisons) {
    // Stored digests and issued cookies must stay readable across versions.
    EXPECT_EQ(passwordDigest("pw", "salt"), sha256Hex("salt:pw"));
    const QuarryFolderShare share = makeShare("docs", "/nowhere", true, QString("secret"));
    EXPECT_EQ(authCookieName(share), "blnshare_docs");
    EXPECT_EQ(authCookieValue(share), sha256Hex("docs:" + *share.passwordDigest));

    EXPECT_TRUE(constantTimeEquals("abc", "abc"));
    EXPECT_FALSE(constantTimeEquals("abc", "abd"));
    EXPECT_FALSE(constantTimeEquals("abc", "abcd"));
    EXPECT_FALSE(constantTimeEquals("", "a"));
}

namespace {

HTTPRequest unlockRequest(const QString& slug, const QByteArray& body) {
    HTTPRequest request;
    request.method = "POST";
    request.target = "/__unlock/" + slug;
    request.body = body;
    return request;
}

bool unlocked(const HTTPResponse& response) {
    return response.statusCode == 303 && !response.cookieHeaders.isEmpty();
}

} // namespace

TEST(Access, FailedUnlocksLockOutOneClientForAWhile) {
    QTemporaryDir folder;
    QuarryShareServerSnapshot snapshot;
    snapshot.shares = {makeShare("docs", folder.path(), true, QString("right")),
                       makeShare("other", folder.path(), true, QString("right"))};
    std::chrono::milliseconds now{1'000'000};
    QuarryUnlockThrottle throttle([&now] { return now; });
    const RequestContext alice{"10.0.0.1", &throttle, {}};
    const RequestContext bob{"10.0.0.2", &throttle, {}};
    const auto attempt = [&](const RequestContext& who, const QString& slug, const QByteArray& password) {
        return route(unlockRequest(slug, "password=" + password), snapshot, who);
    };

    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(attempt(alice, "docs", "wrong").headers.value("Location"), "/docs/?failed=1");
        now += std::chrono::seconds(10);
    }
    // Locked out: the right password is answered exactly like a wrong one.
    const HTTPResponse refused = attempt(alice, "docs", "right");
    EXPECT_EQ(refused.serialized(), attempt(alice, "docs", "wrong").serialized());
    EXPECT_FALSE(unlocked(refused));
    // Other clients, and the same client on another share, are not affected.
    EXPECT_TRUE(unlocked(attempt(bob, "docs", "right")));
    EXPECT_TRUE(unlocked(attempt(alice, "other", "right")));

    now += std::chrono::seconds(61);
    EXPECT_TRUE(unlocked(attempt(alice, "docs", "right")));
    // The success cleared the count: four more failures do not lock.
    for (int i = 0; i < 4; ++i)
        attempt(alice, "docs", "wrong");
    EXPECT_TRUE(unlocked(attempt(alice, "docs", "right")));

    // Failures spread beyond ten minutes never add up to a lockout.
    for (int i = 0; i < 12; ++i) {
        attempt(alice, "docs", "wrong");
        now += std::chrono::minutes(3);
    }
    EXPECT_TRUE(unlocked(attempt(alice, "docs", "right")));
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
