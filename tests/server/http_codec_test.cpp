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
    EXPECT_FALSE(HTTPRequest::parse("GET\t/\tHTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(HTTPRequest::parse("GET /\xff HTTP/1.1\r\n\r\n"));

    // Header names in any case, the last of a repeated header wins, the body ends at its length.
    const auto request =
        HTTPRequest::parse("POST /u?a=1 HTTP/1.1\r\nCOOKIE: a=1\r\nX-Test:  a: b \r\n"
                           "Cookie: c=3\r\nno colon here\r\nContent-Length: 4\r\n\r\n0123456789");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->header("cookie"), "c=3");
    EXPECT_EQ(request->header("x-test"), "a: b");
    EXPECT_EQ(request->body, "0123");
}

TEST(HttpCodec, PathAndQueryViews) {
    EXPECT_EQ(requestFor("/docs/a%20b/").path(), "/docs/a b");
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
}

TEST(HttpCodec, NothingAHandlerWritesCanEndAHeaderLine) {
    EXPECT_FALSE(HTTPResponse::redirect("/a\r\nSet-Cookie: evil=1").serialized().contains("\r\nSet-Cookie"));
}
