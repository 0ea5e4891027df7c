#include "page_texts.h"
#include "server/http/http_response.h"
#include "server/site/unlock_throttle.h"
#include "server/site/unlock_turns.h"
#include "server_fixture.h"

#include <QElapsedTimer>
#include <QSysInfo>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

using namespace server_testing;

namespace {

// A share name that tries every way out of its element: the title, the page text and the embedded data.
const QString kTeam = "Team <Docs> & \"Q\" </SCRIPT ><!--<script>";
const QString kEscapedTeam = "Team &lt;Docs&gt; &amp; &quot;Q&quot; &lt;/SCRIPT &gt;&lt;!--&lt;script&gt;";

class Routing : public ServedFolder {
protected:
    void SetUp() override {
        writeFile(folder.path() + "/docs/a.txt", "hello");
        writeFile(folder.path() + "/docs/sub/b.txt", "b");
        writeFile(folder.path() + "/private/secret.txt", "s");
        snapshot.appName = "brightloom Share";
        QuarryFolderShare docs = makeShare({.slug = "docs", .name = kTeam, .path = folder.path() + "/docs"});
        docs.availableUntil = QDateTime(QDate(2031, 5, 6), QTime(7, 8, 9, 250), Qt::UTC);
        snapshot.shares = {
            docs,
            makeShare({.slug = "off", .name = "Aaa off", .path = folder.path() + "/docs", .enabled = false}),
            makeShare({.slug = "private", .path = folder.path() + "/private", .password = "a b"}),
            makeShare(
                {.slug = "plus", .name = "Plus", .path = folder.path() + "/private", .password = "a+b"})};
        serve();
    }
};

} // namespace

TEST_F(Routing, PagesCarryTheDataTheClientStartsFrom) {
    const Reply root = get(port(), "/");
    EXPECT_EQ(root.status, 200);
    EXPECT_EQ(root.reason, "OK");
    EXPECT_EQ(root.headerNames(), kPageHeaders);
    EXPECT_EQ(root.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(root.header("Content-Length").toInt(), root.body.size());
    EXPECT_EQ(root.text(), page_texts::appPage("brightloom Share", page_texts::embeddedData(root.text())));
    // Enabled shares only, sorted by name with case ignored.
    const QJsonObject expectedRoot =
        QJsonDocument::fromJson(R"({"appName":"brightloom Share","initialDirectory":"",
        "shares":[{"slug":"plus","name":"Plus","isPasswordProtected":true},
                  {"slug":"private","name":"private","isPasswordProtected":true},
                  {"slug":"docs","name":")" +
                                kTeam.toUtf8().replace('"', "\\\"") + R"(","isPasswordProtected":false,
                   "availableUntil":"2031-05-06T07:08:09Z"}]})")
            .object();
    EXPECT_EQ(page_texts::bootstrap(root.text()), expectedRoot);
    for (const char* method : {"POST", "DELETE"})
        EXPECT_EQ(request(port(), method, "/").body, root.body);

    // Nothing in the data can end or confuse its element, and it still reads back the same.
    const QString file = get(port(), "/docs/sub/b.txt").text();
    EXPECT_EQ(file, page_texts::appPage(kEscapedTeam, page_texts::embeddedData(file)));
    EXPECT_FALSE(page_texts::embeddedData(file).contains('<'));
    QJsonObject expectedFile = expectedRoot;
    expectedFile["currentShareSlug"] = "docs";
    expectedFile["currentShareName"] = kTeam;
    expectedFile["currentSharePath"] = folder.path() + "/docs";
    expectedFile["currentShareAvailableUntil"] = "2031-05-06T07:08:09Z";
    expectedFile["initialDirectory"] = "sub";
    expectedFile["selectedRelativePath"] = "sub/b.txt";
    EXPECT_EQ(page_texts::bootstrap(file), expectedFile);
    // Through the public link the disk's layout stays home: the share's and the item's display paths.
    const QByteArray viaTunnel = "Cf-Connecting-Ip: 5.5.5.5\r\n";
    expectedFile["currentSharePath"] = "/docs";
    EXPECT_EQ(page_texts::bootstrap(get(port(), "/docs/sub/b.txt", viaTunnel).text()), expectedFile);
    for (const auto& [target, local, remote] :
         {std::tuple{"/__meta/docs?path=sub/b.txt", "/docs/sub/b.txt", "/docs/sub/b.txt"},
          std::tuple{"/__meta/docs?path=", "/docs", "/docs"}}) {
        EXPECT_EQ(jsonOf(get(port(), target)).value("path").toString(), folder.path() + local) << target;
        EXPECT_EQ(jsonOf(get(port(), target, viaTunnel)).value("path").toString(), remote) << target;
    }

    // The folder the client opens and the item it selects, whatever the method.
    EXPECT_EQ(get(port(), "/docs").body, get(port(), "/docs/").body);
    EXPECT_EQ(request(port(), "PUT", "/docs/sub").body, get(port(), "/docs/sub").body);
    EXPECT_FALSE(page_texts::bootstrap(get(port(), "/docs/").text()).contains("selectedRelativePath"));
    for (const QStringList& place :
         QList<QStringList>{{"/docs/a.txt", "", "a.txt"}, {"/docs/sub", "sub", "sub"}}) {
        const QJsonObject data = page_texts::bootstrap(get(port(), place[0]).text());
        EXPECT_EQ(data.value("initialDirectory").toString(), place[1]) << place[0].toStdString();
        EXPECT_EQ(data.value("selectedRelativePath").toString(), place[2]) << place[0].toStdString();
    }
}

TEST_F(Routing, EveryOtherRouteAnswersItsPage) {
    const QString notFound = page_texts::notFound("brightloom Share");
    for (const char* target : {"/Docs/", "/off/", "/nothing", "/__browse", "/__unlock/docs", "/__meta"}) {
        const Reply reply = get(port(), target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.reason, "Not Found");
        EXPECT_EQ(reply.text(), notFound) << target;
    }
    EXPECT_EQ(request(port(), "POST", "/__unlock/off", {}, "password=x").status, 404);

    const Reply missing = get(port(), "/docs/none.txt");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.text(), page_texts::missingItem(kEscapedTeam, "docs"));
    EXPECT_EQ(get(port(), "/docs/a.txt?download=0").header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(get(port(), "/docs/a.txt?download=true").status, 200);
    EXPECT_EQ(get(port(), "/docs/a.txt?download=1").body, "hello");

    // A target of another scheme, or whose path does not begin with "/", names nothing here: it is not
    // read as a relative path into a share.
    for (const char* target : {"x:docs/a.txt?download=1", "http:docs/a.txt?download=1", "mailto:docs"}) {
        const Reply reply = get(port(), target);
        EXPECT_EQ(reply.status, 200) << target;
        EXPECT_EQ(reply.header("Content-Type"), "text/html; charset=utf-8") << target;
        EXPECT_NE(reply.body, "hello") << target;
    }
    EXPECT_EQ(get(port(), "/docs/a.txt//?download=1").body, "hello");

    // The page icon is served bare, never as a download.
    for (const char* target :
         {"/__asset/app-icon.png", "/__asset/app-icon.png/", "/__asset/app-icon.png//"}) {
        const Reply icon = get(port(), target);
        EXPECT_EQ(icon.status, 200);
        EXPECT_EQ(icon.header("Content-Type"), "image/png");
        EXPECT_EQ(icon.header("Content-Disposition"), "");
        EXPECT_TRUE(icon.body.startsWith("\x89PNG"));
    }
}

TEST_F(Routing, AnswersOnlyTheNamesThisComputerIsKnownBy) {
    // A share whose folder cannot be read, and the right password: a refused request must touch neither.
    const QString locked = folder.path() + "/locked";
    writeFile(locked + "/x.txt", "x");
    ASSERT_TRUE(QFile::setPermissions(locked, {}));
    snapshot.shares.append(makeShare({.slug = "locked", .path = locked}));
    snapshot.hostNames = {"share.example.net", "desktop.home.arpa"};
    serve();
    std::mutex lock;
    QStringList reported;
    server->setRefusedHostNameHandler([&](const QString& name) {
        const std::lock_guard locker(lock);
        reported.append(name);
    });
    const QString computer = QSysInfo::machineHostName().section('.', 0, 0);
    const auto exchangeWith = [this](const QByteArray& head) {
        return exchange(port(), head + "\r\n" + (head.startsWith("POST") ? "password=a+b" : ""));
    };
    const QByteArray file = "GET /docs/a.txt?download=1 HTTP/1.1\r\n";
    for (const QByteArray& host : QList<QByteArray>{
             "127.0.0.1", "127.0.0.1:48173", "192.168.1.20", "[::1]", "[::1]:80", "[2001:DB8::1]",
             "localhost", "LocalHost:1", "localhost.", computer.toUpper().toUtf8(),
             computer.toUtf8() + ".local:8080", "share.example.net", "Desktop.Home.Arpa"}) {
        const Reply reply = exchangeWith(file + "Host: " + host + "\r\n");
        EXPECT_EQ(reply.status, 200) << host.constData();
        EXPECT_EQ(reply.body, "hello") << host.constData();
    }
    EXPECT_EQ(exchangeWith("GET /docs/a.txt?download=1 HTTP/1.0\r\n").body, "hello");
    EXPECT_EQ(
        exchangeWith("GET http://LOCALHOST:9/docs/a.txt?download=1 HTTP/1.1\r\nHost: evil.example\r\n").body,
        "hello");

    for (const auto& [head, shown] : std::initializer_list<std::pair<QByteArray, QString>>{
             {"Host: evil.example", "evil.example"},
             {"Host: EVIL.example:48173", "evil.example"},
             {"Host: 127.0.0.1.evil.example", "127.0.0.1.evil.example"},
             {"Host: localhost.evil.example", "localhost.evil.example"},
             {"Host: " + computer.toUtf8() + ".evil.example", computer.toLower() + ".evil.example"},
             {"Host: ", ""},
             {"Host: 127.0.0.1/docs", "127.0.0.1/docs"},
             {"Host: user@127.0.0.1", "user@127.0.0.1"},
             {"Host: [::1]x", "[::1]x"},
             {"Host: <b>x</b>", "&lt;b&gt;x&lt;/b&gt;"}}) {
        for (const QByteArray& start :
             {file, QByteArray("GET /locked/x.txt?download=1 HTTP/1.1\r\n"),
              QByteArray("GET /__browse/locked?path= HTTP/1.1\r\n"),
              QByteArray("POST /__unlock/private HTTP/1.1\r\nContent-Length: 12\r\n")}) {
            const Reply reply = exchangeWith(start + head + "\r\n");
            EXPECT_EQ(reply.status, 421) << head.constData() << start.constData();
            EXPECT_EQ(reply.reason, "Misdirected Request");
            EXPECT_EQ(reply.headerNames(), kPageHeaders) << head.constData();
            EXPECT_EQ(reply.text(), page_texts::misdirected(shown)) << head.constData();
        }
    }
    // An absolute-form target's host counts, whatever Host says.
    EXPECT_EQ(
        exchangeWith("GET http://evil.example/docs/a.txt?download=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n").text(),
        page_texts::misdirected("evil.example"));

    // Each name that the user could add is reported once, in lower case and without its port.
    const std::lock_guard locker(lock);
    EXPECT_EQ(reported, (QStringList{"evil.example", "127.0.0.1.evil.example", "localhost.evil.example",
                                     computer.toLower() + ".evil.example"}));
}

TEST_F(Routing, UnlockFlowEndToEndWithARealCookie) {
    // Asked for the password first, on every route.
    const Reply locked = get(port(), "/private/secret.txt?x=1&download=1");
    EXPECT_EQ(locked.status, 401);
    EXPECT_EQ(locked.reason, "Unauthorized");
    EXPECT_EQ(locked.headerNames(), kPageHeaders);
    EXPECT_EQ(locked.text(),
              page_texts::unlock("private", "private", "/private/secret.txt?x=1&amp;download=1", false));

    const Reply failed = get(port(), "/private/?failed=1");
    EXPECT_EQ(failed.text(), page_texts::unlock("private", "private", "/private/?failed=1", true));

    // The JSON routes refuse before reading anything.
    EXPECT_EQ(get(port(), "/__browse/private?path=").text(), R"({"error":"Password required"})");
    EXPECT_EQ(get(port(), "/__meta/private?path=secret.txt").status, 401);

    const Reply wrong =
        request(port(), "POST", "/__unlock/private", {}, "password=a%20c&redirect=%2Fprivate%2Fx");
    EXPECT_EQ(wrong.status, 303);
    EXPECT_EQ(wrong.reason, "See Other");
    EXPECT_EQ(wrong.headerNames(), (QStringList{"Connection", "Content-Length", "Location", "Referrer-Policy",
                                                "Cross-Origin-Opener-Policy"}));
    EXPECT_EQ(wrong.header("Location"), "/private/?failed=1");
    EXPECT_TRUE(wrong.body.isEmpty());

    // In the form "+" is a space.
    const Reply right = request(port(), "POST", "/__unlock/private", {},
                                "password=a+b&redirect=%2Fprivate%2Fsecret.txt%3Fdownload%3D1");
    EXPECT_EQ(right.status, 303);
    EXPECT_EQ(right.headerNames(), (QStringList{"Connection", "Content-Length", "Location", "Set-Cookie",
                                                "Referrer-Policy", "Cross-Origin-Opener-Policy"}));
    EXPECT_EQ(right.header("Location"), "/private/secret.txt?download=1");
    // The cookie value derives from the stored digest, so both must stay as earlier versions wrote them.
    const QString cookieValue = "f9c090a822399310be5cb6a650c93917caecab39017adc5a59dc07dd1d1877da";
    EXPECT_EQ(right.header("Set-Cookie"),
              "blnshare_private=" + cookieValue + "; Path=/; HttpOnly; SameSite=Lax; Max-Age=604800");
    // Through the public link, whose visitors all come over HTTPS, the cookie never travels in the clear.
    EXPECT_EQ(request(port(), "POST", "/__unlock/private", "Cf-Connecting-Ip: 8.8.8.8\r\n", "password=a+b")
                  .header("Set-Cookie"),
              "blnshare_private=" + cookieValue + "; Path=/; HttpOnly; SameSite=Lax; Max-Age=604800; Secure");

    // Header names are read in any case.
    const QByteArray cookie =
        "cookie: theme=dark ;  blnshare_private = " + cookieValue.toUtf8() + " ; other=1\r\n";
    EXPECT_EQ(get(port(), "/private/secret.txt?download=1", cookie).body, "s");
    EXPECT_EQ(get(port(), "/__browse/private?path=", cookie).status, 200);
    // The same cookie does not open another share with the same folder, nor does a near miss open this one.
    EXPECT_EQ(get(port(), "/plus/", cookie).status, 401);
    for (const QString& nearMiss : {cookieValue.left(63) + "0", cookieValue.left(63), QString()})
        EXPECT_EQ(get(port(), "/private/", "Cookie: blnshare_private=" + nearMiss.toUtf8() + "\r\n").status,
                  401);

    // Unsafe or missing redirect targets land on the share's root (the redirect fuzzer's corpus holds
    // the other ways off the site).
    for (const QByteArray& field : {QByteArray("&redirect=%2F%2Fevil.example%2F"),
                                    QByteArray("&redirect=%2Fa%0D%0ASet-Cookie:%20x=1"), QByteArray()}) {
        const Reply reply = request(port(), "POST", "/__unlock/private", {}, "password=a+b" + field);
        EXPECT_EQ(reply.header("Location"), "/private/") << field.constData();
        EXPECT_EQ(reply.headers.size(), 6);
    }

    // A new password turns the old cookie away.
    snapshot.shares[2] =
        makeShare({.slug = "private", .path = folder.path() + "/private", .password = "new"});
    server->update(snapshot);
    EXPECT_EQ(get(port(), "/private/", cookie).status, 401);
}

TEST_F(Routing, UnlockAttemptsAreThrottledPerVisitorWhateverItsSpellingAndPerShare) {
    std::atomic<qint64> now{1'000'000}; // read on the server thread
    QuarryShareWebServer::Options options;
    options.clock = [&now] { return std::chrono::milliseconds(now.load()); };
    serve(options);
    const auto attempt = [&](const QByteArray& client, const QByteArray& password,
                             const QString& slug = "private") {
        const QByteArray head = client.isNull() ? QByteArray() : "Cf-Connecting-Ip: " + client + "\r\n";
        return request(port(), "POST", "/__unlock/" + slug, head, "password=" + password);
    };
    const auto opens = [&](const QByteArray& client, const QByteArray& password = "a+b",
                           const QString& slug = "private") {
        return !attempt(client, password, slug).header("Set-Cookie").isEmpty();
    };

    // Five failures under four spellings of one address lock it out under every spelling; a locked-out
    // visitor is refused unchecked, exactly like a wrong password.
    for (const QByteArray spelling :
         {"5.5.5.5", "::ffff:5.5.5.5", "::FFFF:0505:0505", " 5.5.5.5 ", "5.5.5.5"})
        EXPECT_EQ(attempt(spelling, "no").header("Location"), "/private/?failed=1");
    EXPECT_EQ(attempt("0:0:0:0:0:ffff:505:505", "a+b").headers, attempt("5.5.5.5", "no").headers);
    // Another visitor behind the tunnel, one on the loopback itself, and another share (whose password
    // "a+b" is sent with "%2B") are not affected.
    EXPECT_TRUE(opens("6.6.6.6"));
    EXPECT_TRUE(opens(QByteArray()));
    EXPECT_TRUE(opens("5.5.5.5", "a%2Bb", "plus"));
    // The first lockout lasts a minute.
    now += 61'000;
    EXPECT_TRUE(opens("5.5.5.5"));

    // What is not an address names no one: the connection's own peer is the client. So made-up values,
    // however many, cannot buy more guesses, and "05.5.5.5" is not 5.5.5.5's lockout either.
    for (int i = 0; i < 5; ++i)
        attempt("made-up-" + QByteArray::number(i) + QByteArray(1024, 'x'), "no");
    for (const QByteArray& loopback :
         {QByteArray(), QByteArray("05.5.5.5"), QByteArray("another-made-up-name")})
        EXPECT_FALSE(opens(loopback)) << loopback.toStdString();
    EXPECT_TRUE(opens("7.7.7.7"));
}

TEST_F(Routing, GuessesFromOneNetworkOrFromManyStayWithinBudgetAndTheRightPasswordStillGetsIn) {
    std::atomic_bool stop{false};
    std::atomic_int answered{0};
    std::atomic_int opened{0};
    // One unlock attempt as the tunnel delivers it; gives up when the test stops.
    const auto attempt = [&](const QByteArray& address, const QByteArray& password) {
        const QByteArray body = "password=" + password;
        const int socket = connectTo(port());
        sendAll(socket, "POST /__unlock/private HTTP/1.1\r\nCf-Connecting-Ip: " + address +
                            "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray received;
        while (!stop && !parseReply(received))
            received += readUntilClosed(socket, std::chrono::milliseconds(200));
        ::close(socket);
        const std::optional<Reply> reply = parseReply(received);
        return reply && !reply->header("Set-Cookie").isEmpty();
    };
    // Four clients guessing in turn; each guess comes from the address `address(i)`.
    const auto flood = [&](std::function<QByteArray(int)> address, int guesses) {
        std::vector<std::thread> clients;
        for (int client = 0; client < 4; ++client) {
            clients.emplace_back([&, address, guesses, client] {
                for (int i = client; i < guesses && !stop; i += 4) {
                    // Now and then the right password: it opens only when the guess is checked.
                    opened += attempt(address(i), i % 25 == 24 ? "a+b" : "wrong") ? 1 : 0;
                    ++answered;
                }
            });
        }
        return clients;
    };
    QElapsedTimer clock;
    clock.start();
    const auto visitorGetsIn = [&](const QByteArray& address) {
        const qint64 started = clock.elapsed();
        EXPECT_TRUE(attempt(address, "a+b"));
        return clock.elapsed() - started;
    };

    // Addresses rotating through one IPv6 /64 count as one client: locked out after its fifth failure,
    // however many addresses it spends, while a visitor from another network gets in at once.
    std::vector<std::thread> network =
        flood([](int i) { return "2001:db8:1:2:" + QByteArray::number(i + 1, 16) + "::1"; }, 2000);
    ASSERT_TRUE(testing_support::waitUntil([&] { return answered >= 100; }));
    EXPECT_LT(visitorGetsIn("2001:db8:9::1"), 1000);
    for (std::thread& client : network)
        client.join();
    EXPECT_EQ(opened, 0) << "guesses from one /64 were checked past its lockout";

    // Addresses of many networks get the share's budget together: 60 at once, then one a second, turns
    // going round the networks waiting, so a visitor with the right password gets in within the wait.
    answered = 0;
    clock.restart();
    std::vector<std::thread> many = flood(
        [](int i) {
            return "10." + QByteArray::number(i % 256) + "." + QByteArray::number(i / 256 % 256) + ".1";
        },
        100000);
    ASSERT_TRUE(testing_support::waitUntil([&] { return answered >= 60; }));
    EXPECT_LT(visitorGetsIn("192.0.2.1"), QuarryUnlockTurns::kMostWaiting * 1000);
    const qint64 seconds = clock.elapsed() / 1000 + 1;
    stop = true;
    for (std::thread& client : many)
        client.join();
    EXPECT_LE(answered, 60 + seconds + 4) << "guesses answered in " << seconds << " s";
}

TEST(UnlockThrottle, LockoutsDoubleToHalfAnHourAndStayWhileFloodsOfClientsAreForgotten) {
    std::chrono::milliseconds now{5'000'000};
    QuarryUnlockThrottle throttle([&now] { return now; }, 100);
    const auto fail = [](QuarryUnlockThrottle& table, const QString& client, int times) {
        for (int i = 0; i < times; ++i)
            table.recordFailure(client, "s");
    };
    const auto lockOutLength = [&] {
        fail(throttle, "c", QuarryUnlockThrottle::kFailuresBeforeLockout);
        std::chrono::milliseconds length{0};
        while (throttle.isLockedOut("c", "s") && length < std::chrono::hours(2)) {
            now += std::chrono::seconds(1);
            length += std::chrono::seconds(1);
        }
        return std::chrono::duration_cast<std::chrono::minutes>(length + std::chrono::seconds(59)).count();
    };
    for (int minutes : {1, 2, 4, 8, 16, 30, 30})
        EXPECT_EQ(lockOutLength(), minutes);
    // A success clears the count; failures spread beyond ten minutes never add up to a lockout.
    fail(throttle, "c", 4);
    throttle.recordSuccess("c", "s");
    fail(throttle, "c", 4);
    EXPECT_FALSE(throttle.isLockedOut("c", "s"));
    for (int i = 0; i < 12; ++i) {
        fail(throttle, "spread", 1);
        now += std::chrono::minutes(3);
    }
    EXPECT_FALSE(throttle.isLockedOut("spread", "s"));

    // Ten clients locked out, then a flood of newcomers failing once each: the table holds its capacity,
    // keeps every lockout, and makes room for the newest newcomers, who count on their own.
    for (int client = 0; client < 10; ++client)
        fail(throttle, "locked" + QString::number(client), QuarryUnlockThrottle::kFailuresBeforeLockout);
    for (int i = 0; i < 20'000; ++i) {
        fail(throttle, "new" + QString::number(i), 1);
        now += std::chrono::milliseconds(1);
        ASSERT_LE(throttle.rememberedCount(), 101);
    }
    for (int client = 0; client < 10; ++client)
        EXPECT_TRUE(throttle.isLockedOut("locked" + QString::number(client), "s")) << client;
    EXPECT_FALSE(throttle.isLockedOut("fresh", "s"));
    fail(throttle, "new19999", 4);
    EXPECT_TRUE(throttle.isLockedOut("new19999", "s"));

    // Full of lockouts, a newcomer gets no record: nobody is locked out by others' failures, and the
    // newcomers' guesses spend the share's budget, 60 at once from everyone, then one a second.
    QuarryUnlockThrottle full([&now] { return now; }, 3);
    for (const QString client : {"a", "b", "c"})
        fail(full, client, QuarryUnlockThrottle::kFailuresBeforeLockout);
    fail(full, "newcomer", 60 - 3 * QuarryUnlockThrottle::kFailuresBeforeLockout);
    EXPECT_FALSE(full.isLockedOut("newcomer", "s"));
    EXPECT_TRUE(full.isLockedOut("a", "s"));
    EXPECT_EQ(full.untilGuess("s"), std::chrono::seconds(1));
    EXPECT_EQ(full.untilGuess("another share"), std::chrono::seconds(0));
    now += std::chrono::seconds(1);
    EXPECT_EQ(full.untilGuess("s"), std::chrono::seconds(0));

    // Clients that fail once and go quiet are forgotten again, long before the table is full.
    QuarryUnlockThrottle roomy([&now] { return now; });
    for (int i = 0; i < 3000; ++i) {
        fail(roomy, QString::number(i), 1);
        if (i % 1000 == 999)
            now += std::chrono::hours(2);
    }
    EXPECT_LT(roomy.rememberedCount(), 2100);
}
