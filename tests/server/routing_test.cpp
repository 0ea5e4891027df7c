#include "page_texts.h"
#include "server/access.h"
#include "server_fixture.h"

using namespace server_testing;

namespace {

const QStringList kHtmlHeaders{"Connection",   "Content-Length",         "Content-Security-Policy",
                               "Content-Type", "X-Content-Type-Options", "X-Frame-Options"};

class Routing : public ServedFolder {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        writeFile(folder.path() + "/docs/a.txt", "hello");
        writeFile(folder.path() + "/docs/sub/b.txt", "b");
        writeFile(folder.path() + "/private/secret.txt", "s");
        snapshot.appName = "brightloom Share";
        snapshot.shares = {makeShare("docs", folder.path() + "/docs", true, std::nullopt, "Team Docs"),
                           makeShare("off", folder.path() + "/docs", false),
                           makeShare("private", folder.path() + "/private", true, QString("a b")),
                           makeShare("plus", folder.path() + "/private", true, QString("a+b"))};
        serve();
    }
};

} // namespace

TEST_F(Routing, RootAndShareRulesAnswerTheRightPage) {
    for (const char* method : {"GET", "POST", "DELETE"}) {
        const Reply root = request(port(), QString::fromLatin1(method), "/");
        EXPECT_EQ(root.status, 200);
        EXPECT_EQ(root.reason, "OK");
        EXPECT_EQ(root.headerNames(), kHtmlHeaders);
        EXPECT_EQ(root.header("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(root.header("Content-Length").toInt(), root.body.size());
        EXPECT_FALSE(page_texts::bootstrap(root.text()).contains("currentShareSlug"));
    }

    const Reply withSlash = get(port(), "/docs/");
    const Reply withoutSlash = get(port(), "/docs");
    EXPECT_EQ(withSlash.status, 200);
    EXPECT_EQ(withSlash.body, withoutSlash.body);
    EXPECT_EQ(page_texts::bootstrap(withSlash.text()).value("currentShareSlug").toString(), "docs");
    EXPECT_EQ(request(port(), "PUT", "/docs/sub").body, get(port(), "/docs/sub").body);

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
    EXPECT_EQ(missing.text(), page_texts::missingItem("Team Docs", "docs"));
    EXPECT_EQ(get(port(), "/docs/a.txt?download=0").header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(get(port(), "/docs/a.txt?download=true").status, 200);
    EXPECT_EQ(get(port(), "/docs/a.txt?download=1").body, "hello");

    // The page icon is served bare, never as a download.
    for (const char* target : {"/__asset/app-icon.png", "/__asset/app-icon.png/"}) {
        const Reply icon = get(port(), target);
        EXPECT_EQ(icon.status, 200);
        EXPECT_EQ(icon.header("Content-Type"), "image/png");
        EXPECT_EQ(icon.header("Content-Disposition"), "");
        EXPECT_TRUE(icon.body.startsWith("\x89PNG"));
    }
}

TEST_F(Routing, UnlockFlowEndToEndWithARealCookie) {
    // Asked for the password first, on every route.
    const Reply locked = get(port(), "/private/secret.txt?x=1&download=1");
    EXPECT_EQ(locked.status, 401);
    EXPECT_EQ(locked.reason, "Unauthorized");
    EXPECT_EQ(locked.headerNames(), kHtmlHeaders);
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
    EXPECT_EQ(wrong.headerNames(), (QStringList{"Connection", "Content-Length", "Location"}));
    EXPECT_EQ(wrong.header("Location"), "/private/?failed=1");
    EXPECT_TRUE(wrong.body.isEmpty());

    const Reply right = request(port(), "POST", "/__unlock/private", {},
                                "password=a+b&redirect=%2Fprivate%2Fsecret.txt%3Fdownload%3D1");
    EXPECT_EQ(right.status, 303);
    EXPECT_EQ(right.headerNames(), (QStringList{"Connection", "Content-Length", "Location", "Set-Cookie"}));
    EXPECT_EQ(right.header("Location"), "/private/secret.txt?download=1");
    const QString setCookie = right.header("Set-Cookie");
    const QString cookieValue = QuarryShareWeb::authCookieValue(snapshot.shares[2]);
    EXPECT_EQ(setCookie,
              "blnshare_private=" + cookieValue + "; Path=/; HttpOnly; SameSite=Lax; Max-Age=604800");
    EXPECT_EQ(cookieValue.size(), 64);

    const QByteArray cookie =
        "Cookie: theme=dark ;  blnshare_private = " + cookieValue.toUtf8() + " ; other=1\r\n";
    EXPECT_EQ(get(port(), "/private/secret.txt?download=1", cookie).body, "s");
    EXPECT_EQ(get(port(), "/__browse/private?path=", cookie).status, 200);
    // The same cookie does not open another share with the same folder.
    EXPECT_EQ(get(port(), "/plus/", cookie).status, 401);
    EXPECT_EQ(get(port(), "/private/", "Cookie: blnshare_private=" + cookieValue.left(63).toUtf8() + "0\r\n")
                  .status,
              401);

    // Unsafe or missing redirect targets land on the share's root.
    for (const QByteArray& field :
         {QByteArray("&redirect=%2F%2Fevil.example%2F"), QByteArray("&redirect=https://x/"),
          QByteArray("&redirect=%2Fa%0D%0ASet-Cookie:%20x=1"), QByteArray("&redirect=%2F%5Cevil.example"),
          QByteArray("&redirect=%2Fa%09b"), QByteArray("&redirect=%2Fa%7F"), QByteArray("&redirect=private"),
          QByteArray()}) {
        const Reply reply = request(port(), "POST", "/__unlock/private", {}, "password=a+b" + field);
        EXPECT_EQ(reply.header("Location"), "/private/") << field.constData();
        EXPECT_EQ(reply.headers.size(), 4);
    }
    // In the form "+" is a space and "%2B" the plus sign.
    EXPECT_FALSE(
        request(port(), "POST", "/__unlock/plus", {}, "password=a%2Bb").header("Set-Cookie").isEmpty());
    EXPECT_TRUE(request(port(), "POST", "/__unlock/plus", {}, "password=a+b").header("Set-Cookie").isEmpty());

    // A new password turns the old cookie away.
    snapshot.shares[2] = makeShare("private", folder.path() + "/private", true, QString("new"));
    server->update(snapshot);
    EXPECT_EQ(get(port(), "/private/", cookie).status, 401);
}

TEST_F(Routing, UnlockAttemptsAreThrottledPerVisitor) {
    const QByteArray visitor = "Cf-Connecting-Ip: 203.0.113.9\r\n";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(request(port(), "POST", "/__unlock/private", visitor, "password=no").header("Location"),
                  "/private/?failed=1");
    const Reply refused = request(port(), "POST", "/__unlock/private", visitor, "password=a+b");
    EXPECT_EQ(refused.header("Location"), "/private/?failed=1");
    EXPECT_TRUE(refused.header("Set-Cookie").isEmpty());
    const Reply other =
        request(port(), "POST", "/__unlock/private", "Cf-Connecting-Ip: 198.51.100.7\r\n", "password=a+b");
    EXPECT_FALSE(other.header("Set-Cookie").isEmpty());
    EXPECT_FALSE(
        request(port(), "POST", "/__unlock/private", {}, "password=a+b").header("Set-Cookie").isEmpty());
}
