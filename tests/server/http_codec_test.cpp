#include "server/http_request.h"
#include "server/http_response.h"

#include <gtest/gtest.h>

using QuarryShareWeb::queryParameters;

namespace {

HTTPRequest requestFor(const QString& target) {
    HTTPRequest request;
    request.method = QStringLiteral("GET");
    request.target = target;
    return request;
}

} // namespace

TEST(HttpCodec, ParsesOnlyCompleteWellFormedRequests) {
    EXPECT_FALSE(HTTPRequest::parse(QByteArray("GET / HTTP/1.1\r\nHost: a\r\n").repeated(2000)));
    EXPECT_FALSE(HTTPRequest::parse("GET\r\n\r\n"));
    EXPECT_FALSE(HTTPRequest::parse("GET\t/\tHTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(HTTPRequest::parse("GET /\xff HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(HTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc"));
    EXPECT_FALSE(HTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length: -3\r\n\r\nabc"));

    const auto spaced = HTTPRequest::parse("GET  /x   HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->method, "GET");
    EXPECT_EQ(spaced->target, "/x");

    const auto request =
        HTTPRequest::parse("post /u?a=1 HTTP/1.1\r\nCOOKIE: a=1\r\nCookie : b=2\r\nX-Test:  a: b \r\n"
                           "Cookie: c=3\r\nno colon here\r\nContent-Length: 4\r\n\r\n0123456789");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "post");
    EXPECT_EQ(request->target, "/u?a=1");
    EXPECT_EQ(request->header("cookie"), "c=3");
    EXPECT_EQ(request->header("cookie "), "b=2");
    EXPECT_EQ(request->header("x-test"), "a: b");
    EXPECT_EQ(request->body, "0123");

    const auto notANumber = HTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\nbody");
    ASSERT_TRUE(notANumber);
    EXPECT_TRUE(notANumber->body.isEmpty());
    EXPECT_EQ(HTTPRequest::contentLength({{"content-length", "+12"}}), 12);
    EXPECT_GT(HTTPRequest::contentLength({{"content-length", "99999999999999999999999"}}), 1 << 30);
}

TEST(HttpCodec, PathAndQueryViews) {
    EXPECT_EQ(requestFor("/docs/a%20b/").path(), "/docs/a b");
    EXPECT_EQ(requestFor("/").path(), "/");
    EXPECT_EQ(requestFor("/a%2Fb/c").path(), "/a%2Fb/c");
    EXPECT_EQ(requestFor("/a/../b").path(), "/b");
    EXPECT_EQ(requestFor("/docs/%2e%2e/%2E%2E/etc").path(), "/etc");
    EXPECT_EQ(requestFor("/100%25.txt").path(), "/100%.txt");
    EXPECT_EQ(requestFor("/x%00y").path(), QString("/x") + QChar(0) + "y");
    EXPECT_EQ(requestFor("/bad path").path(), "/");
    EXPECT_EQ(requestFor("http://elsewhere/docs?x=1").path(), "/docs");

    const auto query = queryParameters(requestFor("/d?path=a%2Fb%20c&x=1+2&x=3&gone=1&gone&flag"));
    EXPECT_EQ(query.value("path"), "a/b c");
    EXPECT_EQ(query.value("x"), "3");
    EXPECT_FALSE(query.contains("gone"));
    EXPECT_EQ(queryParameters(requestFor("/d?x=1+2")).value("x"), "1+2");
    EXPECT_TRUE(queryParameters(requestFor("/d?%zz=1")).isEmpty());
}

TEST(HttpCodec, SerialisesHeadersInNameOrderWithLengthAndClose) {
    const HTTPResponse redirect = HTTPResponse::redirect(
        "/docs/",
        {HTTPCookieHeader{"blnshare_docs", "v", {"Path=/", "HttpOnly", "SameSite=Lax", "Max-Age=604800"}}});
    EXPECT_EQ(redirect.serialized(),
              QByteArray("HTTP/1.1 303 See Other\r\n"
                         "Connection: close\r\n"
                         "Content-Length: 0\r\n"
                         "Location: /docs/\r\n"
                         "Set-Cookie: blnshare_docs=v; Path=/; HttpOnly; SameSite=Lax; "
                         "Max-Age=604800\r\n"
                         "\r\n"));

    HTTPResponse kept = HTTPResponse::html("hi", 200);
    kept.headers.insert("Connection", "keep-alive");
    kept.headers.insert("Content-Length", "999");
    const QByteArray bytes = kept.serialized();
    EXPECT_EQ(bytes.count("Connection:"), 1);
    EXPECT_TRUE(bytes.contains("Connection: keep-alive\r\n"));
    EXPECT_TRUE(bytes.contains("Content-Length: 2\r\n"));
    EXPECT_TRUE(bytes.endsWith("\r\n\r\nhi"));

    HTTPResponse odd = HTTPResponse::html("x", 418);
    EXPECT_TRUE(odd.serialized().startsWith("HTTP/1.1 418 Internal Server Error\r\n"));
    EXPECT_EQ(HTTPResponse::reasonPhraseFor(500), "Internal Server Error");

    // Nothing a handler puts into a header can end the line it is on.
    HTTPResponse hostile = HTTPResponse::redirect("/a\r\nSet-Cookie: evil=1");
    EXPECT_FALSE(hostile.serialized().contains("\r\nSet-Cookie"));
}

TEST(HttpCodec, ConstructorsCarryTheirStatusHeadersAndBodies) {
    const HTTPResponse error = HTTPResponse::internalServerError("Could not read <b>.");
    EXPECT_EQ(error.statusCode, 500);
    EXPECT_EQ(error.body, "<h1>Server Error</h1><p>Could not read &lt;b&gt;.</p>");
    EXPECT_EQ(HTTPResponse::badRequest("Could not parse request.").body,
              "<h1>Bad Request</h1><p>Could not parse request.</p>");
    const HTTPResponse json = HTTPResponse::json({{"error", "Share not found"}}, 404);
    EXPECT_EQ(json.body, R"({"error":"Share not found"})");
    EXPECT_EQ(json.headers.value("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(json.reasonPhrase, "Not Found");
    const HTTPResponse binary = HTTPResponse::binary("png", "image/png");
    EXPECT_FALSE(binary.headers.contains("Content-Disposition"));
    EXPECT_EQ(binary.headers.value("X-Frame-Options"), "DENY");
    EXPECT_TRUE(HTTPResponse::redirect("/").headers.keys() == QStringList{"Location"});
}
