#include "server/http/byte_ranges.h"
#include "server/http/validators.h"
#include "server_fixture.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

using namespace server_testing;

namespace {

// 1000 bytes that differ from place to place, so any misplaced byte shows.
QByteArray content() {
    QByteArray bytes;
    for (int i = 0; i < 1000; ++i)
        bytes.append(static_cast<char>('a' + (i * 7 + i / 26) % 26));
    return bytes;
}

constexpr qint64 kJune1 = 1717234200; // 2024-06-01 09:30:00 UTC

class Downloads : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/share";
        writeFile(root + "/clip.mp4", content());
        writeFile(root + "/album/a.txt", "a");
        setModified(root + "/clip.mp4", kJune1);
        snapshot.shares = {makeShare({.slug = "s", .path = root})};
        serve();
    }
    Reply clip(const QByteArray& extraHead = {}) { return get(port(), "/s/clip.mp4?download=1", extraHead); }

    QString root;
};

} // namespace

TEST(ByteRanges, OneRangeIsThoseBytesAndAnythingElseTheWholeBody) {
    using Kind = QuarryHTTP::ByteRangeAnswer::Kind;
    const struct {
        const char* header;
        qint64 size;
        QuarryHTTP::ByteRangeAnswer answer;
    } cases[] = {
        {"bytes=10-19", 1000, {Kind::partial, 10, 19}},
        {"bytes=990-", 1000, {Kind::partial, 990, 999}},
        {"bytes=-5", 1000, {Kind::partial, 995, 999}},
        {"bytes=-5000", 1000, {Kind::partial, 0, 999}},
        {"bytes=995-123456789012345678901234567890", 1000, {Kind::partial, 995, 999}},
        {"Bytes = 0-0", 1000, {Kind::partial, 0, 0}},
        {"bytes=999-999", 1000, {Kind::partial, 999, 999}},
        {"bytes=1000-", 1000, {Kind::unsatisfiable}},
        {"bytes=5000-6000", 1000, {Kind::unsatisfiable}},
        {"bytes=-0", 1000, {Kind::unsatisfiable}},
        {"bytes=0-", 0, {Kind::unsatisfiable}},
        // What does not parse, several ranges, other units, and a suffix of an empty body: the whole.
        {"bytes=x-y", 1000, {}},
        {"bytes=5-3", 1000, {}},
        {"bytes=0-1,5-6", 1000, {}},
        {"items=0-1", 1000, {}},
        {"bytes=", 1000, {}},
        {"bytes 0-1", 1000, {}},
        {"bytes=-5", 0, {}},
    };
    for (const auto& item : cases)
        EXPECT_EQ(QuarryHTTP::evaluateRange(item.header, item.size), item.answer) << item.header;
}

TEST(Validators, ACurrentCopyIsNotSentAgainAndARangeOnlyOfThisVersion) {
    const QuarryHTTP::FileValidators file{"\"abc\"", kJune1, QuarryHTTP::httpDate(kJune1)};
    const auto with = [&](const QString& name, const QString& value) {
        HTTPRequest request;
        request.headers.insert(name, value);
        return request;
    };
    const qint64 now = kJune1 + 86400 * 10;
    for (const QString& condition : {QString("if-none-match:\"abc\""), QString("if-none-match:W/\"abc\""),
                                     QString("if-none-match:\"x\", \"abc\""), QString("if-none-match:*"),
                                     "if-modified-since:" + file.lastModified,
                                     QString("if-modified-since:Sun, 02 Jun 2024 00:00:00 GMT"),
                                     QString("if-modified-since:Sunday, 02-Jun-24 00:00:00 GMT"),
                                     QString("if-modified-since:Sun Jun  2 00:00:00 2024")})
        EXPECT_TRUE(isNotModified(with(condition.section(':', 0, 0), condition.section(':', 1)), file, now))
            << condition.toStdString();
    // If-None-Match decides alone; a date before the change, one that is no date or still to come: sent.
    HTTPRequest both = with("if-none-match", "\"other\"");
    both.headers.insert("if-modified-since", file.lastModified);
    EXPECT_FALSE(isNotModified(both, file, now));
    for (const QString& date : {QString("Fri, 31 May 2024 00:00:00 GMT"), QString("yesterday"),
                                QString("Mon, 01 Jan 2024 25:00:00 GMT"), QuarryHTTP::httpDate(now + 60)})
        EXPECT_FALSE(isNotModified(with("if-modified-since", date), file, now)) << date.toStdString();

    // If-Range: the strong tag or the date of this very version, nothing weaker.
    EXPECT_TRUE(ifRangeAllows(HTTPRequest(), file));
    EXPECT_TRUE(ifRangeAllows(with("if-range", "\"abc\""), file));
    EXPECT_TRUE(ifRangeAllows(with("if-range", file.lastModified), file));
    for (const char* other : {"\"abd\"", "W/\"abc\"", "Sat, 01 Jun 2024 09:29:59 GMT"})
        EXPECT_FALSE(ifRangeAllows(with("if-range", other), file)) << other;
}

TEST_F(Downloads, FilesAnswerOneRangeAndNotModifiedWithTheirValidators) {
    const Reply whole = clip();
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.header("Accept-Ranges"), "bytes");
    EXPECT_EQ(whole.header("Last-Modified"), "Sat, 01 Jun 2024 09:30:00 GMT");
    EXPECT_TRUE(QRegularExpression(R"(^"[0-9a-f]{32}"$)").match(whole.header("ETag")).hasMatch());
    EXPECT_EQ(whole.body, content());

    const QByteArray tag = whole.header("ETag").toUtf8();
    const Reply part = clip("Range: bytes=10-19\r\nIf-Range: " + tag + "\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.reason, "Partial Content");
    EXPECT_EQ(part.header("Content-Range"), "bytes 10-19/1000");
    EXPECT_EQ(part.header("Content-Length"), "10");
    EXPECT_EQ(part.header("Content-Type"), "video/mp4");
    EXPECT_EQ(part.header("ETag"), whole.header("ETag"));
    EXPECT_EQ(part.body, content().mid(10, 10));
    EXPECT_EQ(clip("Range: bytes=10-19\r\nIf-Range: \"stale\"\r\n").body, content());

    const QByteArray refused =
        rawExchange(port(), "GET /s/clip.mp4?download=1 HTTP/1.1\r\nRange: bytes=1000-\r\n\r\n");
    EXPECT_TRUE(refused.startsWith("HTTP/1.1 416 Range Not Satisfiable\r\n")) << refused.toStdString();
    EXPECT_TRUE(refused.contains("\r\nContent-Length: 0\r\nContent-Range: bytes */1000\r\n"));
    EXPECT_TRUE(refused.endsWith("\r\n\r\n"));

    const std::optional<Reply> current = parseReply(
        rawExchange(port(), "GET /s/clip.mp4?download=1 HTTP/1.1\r\nIf-None-Match: " + tag + "\r\n\r\n"));
    ASSERT_TRUE(current);
    EXPECT_EQ(current->status, 304);
    EXPECT_EQ(current->reason, "Not Modified");
    EXPECT_TRUE(current->body.isEmpty());
    EXPECT_EQ(current->header("Content-Length"), "");
    EXPECT_EQ(current->header("ETag"), QString::fromUtf8(tag));

    // Other methods ignore Range.
    EXPECT_EQ(request(port(), "PUT", "/s/clip.mp4?download=1", "Range: bytes=0-1\r\n").body, content());

    // The same size and modification time put back over new bytes: a new tag all the same.
    writeFile(root + "/clip.mp4", QByteArray(1000, 'z'));
    setModified(root + "/clip.mp4", kJune1);
    const Reply rewritten = clip("If-None-Match: " + tag + "\r\n");
    EXPECT_EQ(rewritten.status, 200);
    EXPECT_EQ(rewritten.body, QByteArray(1000, 'z'));
}

TEST_F(Downloads, HeadAnswersWhatGetWouldWithoutABody) {
    for (const QByteArray& target : {QByteArray("/s/clip.mp4?download=1"), QByteArray("/"), QByteArray("/s/"),
                                     QByteArray("/nothing"), QByteArray("/s/album/?download=1")}) {
        for (const QByteArray& extra : {QByteArray(), QByteArray("Range: bytes=1-2\r\n")}) {
            const QByteArray got = rawExchange(port(), "GET " + target + " HTTP/1.1\r\n" + extra + "\r\n");
            const QByteArray head = rawExchange(port(), "HEAD " + target + " HTTP/1.1\r\n" + extra + "\r\n");
            EXPECT_EQ(head, got.left(got.indexOf("\r\n\r\n") + 4)) << target.toStdString();
        }
    }
    // The server's own paths answer GET only: HEAD there is a share URL of no share, as any method is.
    const QByteArray notFound = rawExchange(port(), "HEAD /nothing HTTP/1.1\r\n\r\n");
    EXPECT_EQ(rawExchange(port(), "HEAD /__browse/s?path= HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(rawExchange(port(), "HEAD /__meta/s?path=clip.mp4 HTTP/1.1\r\n\r\n"), notFound);
}

TEST_F(Downloads, EveryUrlFormOfAFileGivesThatFile) {
    writeFile(root + "/dir/name with space.mp4", content());
    QFile::link("dir", root + "/link-to-dir");
    const QString tag = get(port(), "/s/dir/name%20with%20space.mp4?download=1").header("ETag");
    for (const QString& target :
         {QString("/s/dir/name%20with%20space.mp4"), QString("/s//dir///name%20with%20space.mp4"),
          QString("/s/./dir/name%20with%20space.mp4"), QString("/s/dir/../dir/name%20with%20space.mp4"),
          QString("/s/link-to-dir/name%20with%20space.mp4"), QString("/s/%64ir/name%20with%20space%2Emp4"),
          QString("/s/dir/name%20with%20space.mp4/")}) {
        const Reply reply = get(port(), target + "?download=1", "Range: bytes=10-19\r\n");
        EXPECT_EQ(reply.status, 206) << target.toStdString();
        EXPECT_EQ(reply.body, content().mid(10, 10)) << target.toStdString();
        EXPECT_EQ(reply.header("ETag"), tag) << target.toStdString();
    }
}

TEST_F(Downloads, WhatIsNeitherAFileNorAFolderIsRefusedWithoutWaiting) {
    // A FIFO never ends and could hold the server waiting for a writer; a dangling link leads nowhere.
    for (const char* name : {"/<i>pipe.txt", "/<i>pipe.jpg"})
        ASSERT_EQ(::mkfifo(QFile::encodeName(root + name).constData(), 0644), 0);
    QFile::link("nowhere.txt", root + "/dangling.txt");
    writeFile(root + "/folder.jpg/inside.txt", content());
    for (const QString& query : {QString("?download=1"), QString("?view=1")}) {
        SCOPED_TRACE(query.toStdString());
        for (const QString& name : {QString("pipe.txt"), QString("pipe.jpg")}) {
            const Reply reply = get(port(), "/s/%3Ci%3E" + name + query);
            EXPECT_EQ(reply.status, 500);
            EXPECT_EQ(reply.text(), "<h1>Server Error</h1><p>Could not read &lt;i&gt;" + name + ".</p>");
        }
        EXPECT_EQ(get(port(), "/s/dangling.txt" + query).status, 404);
        EXPECT_EQ(get(port(), "/s/missing.txt" + query).status, 404);
        // A folder named like a photo is still a folder: its archive.
        const Reply folderReply = get(port(), "/s/folder.jpg" + query);
        EXPECT_EQ(folderReply.status, 200);
        EXPECT_EQ(folderReply.header("Content-Type"), "application/zip");
    }
    EXPECT_EQ(clip().status, 200);
}
