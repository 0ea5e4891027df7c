#include "server_fixture.h"

#include <mutex>

using namespace server_testing;

namespace {

// A server that tells what it answered, as the store hears it (on the server thread).
class Activity : public ServedFolder {
protected:
    void SetUp() override {
        writeFile(folder.path() + "/docs/a.txt", "hello");
        writeFile(folder.path() + "/docs/sub/b.txt", "b");
        snapshot.shares = {makeShare({.slug = "docs", .path = folder.path() + "/docs"}),
                           makeShare({.slug = "vault", .path = folder.path() + "/docs", .password = "pw"})};
        serve();
        server->setActivityHandler([this](const QuarryActivityEvent& event) {
            const std::lock_guard locker(lock);
            if (event.ended)
                ended.append(event);
        });
    }

    // The next event that ended (none: an empty kind). The server tells it before it closes the
    // connection, so it is there by the time the answer has been read.
    QuarryActivityEvent endedOne(std::chrono::milliseconds wait = std::chrono::seconds(10)) {
        std::optional<QuarryActivityEvent> found;
        testing_support::waitUntil(
            [&] {
                const std::lock_guard locker(lock);
                if (!ended.isEmpty())
                    found = ended.takeFirst();
                return found.has_value();
            },
            wait);
        return found.value_or(QuarryActivityEvent{});
    }

    std::mutex lock;
    QList<QuarryActivityEvent> ended;
};

} // namespace

TEST_F(Activity, EveryAnswerOfAShareIsOneEventWithWhatWasSent) {
    struct Case {
        QString method;
        QString target;
        QByteArray head;
        QString kind; // empty: nothing recorded
        QString path;
        int status;
        qint64 promised; // -2: any
        QString client = "127.0.0.1";
        QString via = "local";
    };
    const QList<Case> cases{
        {"GET", "/docs/sub/", {}, "page", "sub", 200, -2},
        {"GET", "/__browse/docs?path=sub", {}, "listing", "sub", 200, -2},
        {"GET", "/__meta/docs?path=a.txt/", {}, "metadata", "a.txt", 200, -2},
        {"GET", "/__search/docs?q=b", {}, "search", "", 200, -2},
        {"GET", "/docs/a.txt?download=1", {}, "file", "a.txt", 200, 5},
        {"HEAD", "/docs/a.txt?download=1", {}, "file", "a.txt", 200, 0},
        {"GET", "/docs/a.txt?download=1", "Range: bytes=1-2\r\n", "range", "a.txt", 206, 2},
        {"GET", "/docs/a.txt?view=1", {}, "view", "a.txt", 200, 5},
        {"GET", "/docs/sub/b.txt?thumb=1", {}, "thumbnails", "sub", 404, -2},
        {"GET", "/docs/sub?download=1", {}, "archive", "sub", 200, -2},
        {"GET", "/docs/sub?download=1&compress=1", {}, "archive", "sub", 200, -1},
        {"GET", "/docs/sub?download=1", "Range: bytes=0-9\r\n", "archive", "sub", 206, 10},
        {"GET", "/docs/?download=1&pick=a.txt&pick=sub", {}, "picks", "", 200, -2},
        {"GET", "/docs/sub/b.txt?preview=1", {}, "thumbnails", "sub", 404, -2},
        {"GET", "/vault/a.txt", {}, "page", "a.txt", 401, -2},
        // A visitor of the public link, as the tunnel delivers it.
        {"GET", "/docs/a.txt?download=1", "Cf-Connecting-Ip: ::ffff:203.0.113.9\r\n", "file", "a.txt", 200, 5,
         "203.0.113.9", "public"},
        {"GET", "/", {}, "", "", 0, 0},
        {"GET", "/__asset/app-icon.png", {}, "", "", 0, 0},
        {"GET", "/elsewhere/a.txt?download=1", {}, "", "", 0, 0},
    };
    for (const Case& c : cases) {
        const Reply reply = request(port(), c.method, c.target, c.head);
        const QuarryActivityEvent event = endedOne(std::chrono::milliseconds(c.kind.isEmpty() ? 200 : 10000));
        const std::string what = (c.method + " " + c.target).toStdString();
        EXPECT_EQ(event.kind, c.kind) << what;
        if (c.kind.isEmpty())
            continue;
        EXPECT_EQ(event.shareID, snapshot.shares[c.target.startsWith("/vault") ? 1 : 0].id) << what;
        EXPECT_EQ(event.slug, c.target.startsWith("/vault") ? "vault" : "docs") << what;
        EXPECT_EQ(event.path, c.path) << what;
        EXPECT_EQ(event.status, c.status) << what;
        EXPECT_EQ(reply.status, c.status) << what;
        EXPECT_EQ(event.client, c.client) << what;
        EXPECT_EQ(event.via, c.via) << what;
        if (c.promised != -2) {
            EXPECT_EQ(event.bytesPromised, c.promised) << what;
        }
        // What the visitor received of the body, chunk framing and all taken off.
        const bool chunked = reply.header("Transfer-Encoding") == "chunked";
        EXPECT_EQ(event.bytesSent, chunked ? dechunked(reply.body).value_or("?").size() : reply.body.size())
            << what;
        EXPECT_TRUE(event.complete) << what;
        EXPECT_LE(qAbs(event.time.secsTo(QDateTime::currentDateTimeUtc())), 5) << what;
        EXPECT_FALSE(event.unlocked) << what;
    }

    // Unlock attempts tell whether they opened the share, and nothing of what was typed.
    for (const auto& [password, opened] : {std::pair{"nope", false}, std::pair{"pw", true}}) {
        request(port(), "POST", "/__unlock/vault", {}, QByteArray("password=") + password);
        const QuarryActivityEvent event = endedOne();
        EXPECT_EQ(event.kind, "unlock");
        EXPECT_EQ(event.unlocked, opened) << password;
        EXPECT_EQ(event.status, 303);
    }
}
