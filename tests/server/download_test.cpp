#include "server/archives/archive_writers.h"
#include "server_fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <fcntl.h>
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

// Everything the server sent, as it was sent.
QByteArray rawExchange(int port, const QByteArray& request) {
    const int socket = connectTo(port);
    sendAll(socket, request);
    const QByteArray raw = readUntilClosed(socket);
    ::close(socket);
    return raw;
}

QByteArray headOf(const QByteArray& raw) {
    return raw.left(raw.indexOf("\r\n\r\n") + 4);
}

class Downloads : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/share";
        writeFile(root + "/clip.mp4", content());
        writeFile(root + "/empty.txt", {});
        writeFile(root + "/album/a.txt", "a");
        writeFile(folder.path() + "/outside.txt", "SECRET-OUTSIDE");
        const timespec times[2] = {{1717234200, 0}, {1717234200, 0}}; // 2024-06-01 09:30:00 UTC
        ::utimensat(AT_FDCWD, QFile::encodeName(root + "/clip.mp4").constData(), times, 0);
        snapshot.shares = {makeShare({.slug = "s", .path = root})};
        serve();
    }
    Reply clip(const QByteArray& extraHead = {}) { return get(port(), "/s/clip.mp4?download=1", extraHead); }

    QString root;
};

} // namespace

TEST_F(Downloads, OneRangeAnswersExactlyThoseBytes) {
    const Reply whole = clip();
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.header("Accept-Ranges"), "bytes");
    EXPECT_EQ(whole.header("Last-Modified"), "Sat, 01 Jun 2024 09:30:00 GMT");
    EXPECT_TRUE(QRegularExpression(R"(^"[0-9a-f]{32}"$)").match(whole.header("ETag")).hasMatch());
    EXPECT_EQ(whole.body, content());

    const auto expectRange = [&](const QByteArray& range, qint64 first, qint64 last) {
        const Reply reply = clip("Range: " + range + "\r\n");
        EXPECT_EQ(reply.status, 206) << range.toStdString();
        EXPECT_EQ(reply.reason, "Partial Content");
        EXPECT_EQ(reply.header("Content-Range"), QString("bytes %1-%2/1000").arg(first).arg(last));
        EXPECT_EQ(reply.header("Content-Length").toLongLong(), last - first + 1);
        EXPECT_EQ(reply.body, content().mid(first, last - first + 1)) << range.toStdString();
        EXPECT_EQ(reply.header("ETag"), whole.header("ETag"));
        EXPECT_EQ(reply.header("Content-Type"), "video/mp4");
    };
    expectRange("bytes=10-19", 10, 19);
    expectRange("bytes=990-", 990, 999);
    expectRange("bytes=-5", 995, 999);
    expectRange("bytes=-5000", 0, 999);
    expectRange("bytes=995-123456789012345678901234567890", 995, 999);
    expectRange("Bytes = 0-0", 0, 0);
    expectRange("bytes=999-999", 999, 999);

    for (const QByteArray& range : QByteArrayList{"bytes=1000-", "bytes=5000-6000", "bytes=-0"}) {
        const QByteArray raw =
            rawExchange(port(), "GET /s/clip.mp4?download=1 HTTP/1.1\r\nRange: " + range + "\r\n\r\n");
        const std::optional<Reply> reply = parseReply(raw);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 416) << range.toStdString();
        EXPECT_EQ(reply->reason, "Range Not Satisfiable");
        EXPECT_EQ(reply->header("Content-Range"), "bytes */1000");
        EXPECT_EQ(reply->header("Content-Length"), "0");
        EXPECT_TRUE(reply->body.isEmpty());
    }
    // What does not parse, several ranges and other units: the whole file, as before.
    for (const QByteArray& range :
         QByteArrayList{"bytes=x-y", "bytes=5-3", "bytes=0-1,5-6", "items=0-1", "bytes=", "bytes 0-1"}) {
        const Reply reply = clip("Range: " + range + "\r\n");
        EXPECT_EQ(reply.status, 200) << range.toStdString();
        EXPECT_EQ(reply.body, content());
    }
    EXPECT_EQ(get(port(), "/s/empty.txt?download=1", "Range: bytes=-5\r\n").status, 200);
    EXPECT_EQ(get(port(), "/s/empty.txt?download=1", "Range: bytes=0-\r\n").status, 416);
    // Other methods are answered as before, whatever they ask.
    EXPECT_EQ(request(port(), "PUT", "/s/clip.mp4?download=1", "Range: bytes=0-1\r\n").body, content());
    // Archives ignore Range.
    EXPECT_EQ(get(port(), "/s/album/?download=1", "Range: bytes=0-1\r\n").status, 200);
}

TEST_F(Downloads, ValidatorsAnswerNotModifiedWithoutABody) {
    const Reply whole = clip();
    const QByteArray tag = whole.header("ETag").toUtf8();
    const QByteArray date = whole.header("Last-Modified").toUtf8();
    for (const QByteArray& condition :
         {"If-None-Match: " + tag, "If-None-Match: W/" + tag, "If-None-Match: \"x\", " + tag,
          QByteArray("If-None-Match: *"), "If-Modified-Since: " + date,
          QByteArray("If-Modified-Since: Sun, 02 Jun 2024 00:00:00 GMT"),
          QByteArray("If-Modified-Since: Sunday, 02-Jun-24 00:00:00 GMT"),
          QByteArray("If-Modified-Since: Sun Jun  2 00:00:00 2024")}) {
        const QByteArray raw =
            rawExchange(port(), "GET /s/clip.mp4?download=1 HTTP/1.1\r\n" + condition + "\r\n\r\n");
        const std::optional<Reply> reply = parseReply(raw);
        ASSERT_TRUE(reply) << condition.toStdString();
        EXPECT_EQ(reply->status, 304) << condition.toStdString();
        EXPECT_EQ(reply->reason, "Not Modified");
        EXPECT_TRUE(reply->body.isEmpty());
        EXPECT_EQ(reply->header("Content-Length"), "");
        EXPECT_EQ(reply->header("ETag"), QString::fromUtf8(tag));
    }
    for (const QByteArray& condition :
         {QByteArray("If-None-Match: \"other\""), "If-None-Match: \"other\"\r\nIf-Modified-Since: " + date,
          QByteArray("If-Modified-Since: Fri, 31 May 2024 00:00:00 GMT"),
          QByteArray("If-Modified-Since: yesterday"),
          QByteArray("If-Modified-Since: Mon, 01 Jan 2024 25:00:00 GMT")}) {
        const Reply reply = clip(condition + "\r\n");
        EXPECT_EQ(reply.status, 200) << condition.toStdString();
        EXPECT_EQ(reply.body, content());
    }
    // A date still to come is no date.
    const QByteArray future =
        QDateTime::currentDateTimeUtc().addDays(2).toString("ddd, dd MMM yyyy hh:mm:ss 'GMT'").toUtf8();
    ::utimensat(AT_FDCWD, QFile::encodeName(root + "/clip.mp4").constData(), nullptr, 0);
    EXPECT_EQ(clip("If-Modified-Since: " + future + "\r\n").status, 200);

    // If-Range: the range only for this very version of the file.
    const QByteArray now = clip().header("ETag").toUtf8();
    EXPECT_NE(now, tag) << "touching the file keeps its tag";
    EXPECT_EQ(clip("Range: bytes=0-9\r\nIf-Range: " + now + "\r\n").status, 206);
    EXPECT_EQ(clip("Range: bytes=0-9\r\nIf-Range: " + tag + "\r\n").body, content());
    EXPECT_EQ(clip("Range: bytes=0-9\r\nIf-Range: W/" + now + "\r\n").status, 200);
    const QByteArray nowDate = clip().header("Last-Modified").toUtf8();
    EXPECT_EQ(clip("Range: bytes=0-9\r\nIf-Range: " + nowDate + "\r\n").status, 206);
    EXPECT_EQ(clip("Range: bytes=0-9\r\nIf-Range: " + date + "\r\n").status, 200);

    // The same size and modification time put back: a new tag all the same.
    writeFile(root + "/clip.mp4", QByteArray(1000, 'z'));
    const timespec times[2] = {{1717234200, 0}, {1717234200, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(root + "/clip.mp4").constData(), times, 0);
    const Reply rewritten = clip("If-None-Match: " + tag + "\r\n");
    EXPECT_EQ(rewritten.status, 200);
    EXPECT_EQ(rewritten.body, QByteArray(1000, 'z'));
}

TEST_F(Downloads, HeadAnswersWhatGetWouldWithoutABodyOrAnArchive) {
    for (const QByteArray& target : {QByteArray("/s/clip.mp4?download=1"), QByteArray("/"), QByteArray("/s/"),
                                     QByteArray("/nothing"), QByteArray("/s/album/?download=1")}) {
        for (const QByteArray& extra : {QByteArray(), QByteArray("Range: bytes=1-2\r\n")}) {
            const QByteArray got = rawExchange(port(), "GET " + target + " HTTP/1.1\r\n" + extra + "\r\n");
            const QByteArray head = rawExchange(port(), "HEAD " + target + " HTTP/1.1\r\n" + extra + "\r\n");
            EXPECT_EQ(head, headOf(got)) << target.toStdString();
        }
    }
    // The server's own paths answer GET only: HEAD there is a share URL of no share, as any method is.
    const QByteArray notFound = headOf(rawExchange(port(), "GET /nothing HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(rawExchange(port(), "HEAD /__browse/s?path= HTTP/1.1\r\n\r\n"), notFound);
    EXPECT_EQ(rawExchange(port(), "HEAD /__meta/s?path=clip.mp4 HTTP/1.1\r\n\r\n"), notFound);

    // Asking for the head of a large folder's archive makes none.
    for (int i = 0; i < 4; ++i)
        writeFile(root + QString("/album/%1.bin").arg(i), QByteArray(1 << 20, 'x'));
    const QByteArray head = rawExchange(port(), "HEAD /s/album/?download=1 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(head.endsWith(
        "Transfer-Encoding: chunked\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n\r\n"));
    EXPECT_EQ(QuarryArchiveWriters::runningThreads(), 0);
}

TEST_F(Downloads, EveryUrlFormOfAFileGivesItOrNothingOutside) {
    writeFile(root + "/dir/name with space.mp4", content());
    QFile::link("dir", root + "/link-to-dir");
    QFile::link("../outside.txt", root + "/dir/escape.mp4");
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
    for (const QString& target :
         {QString("/s/dir/escape.mp4"), QString("/s/../outside.txt"), QString("/s/%2e%2e/outside.txt"),
          QString("/s/dir/..%2F..%2Foutside.txt"), QString("/s/link-to-dir/../../outside.txt")}) {
        for (const QString& method : QStringList{"GET", "HEAD"}) {
            const Reply reply = request(port(), method, target + "?download=1", "Range: bytes=0-5\r\n");
            EXPECT_EQ(reply.status, 404) << target.toStdString();
            EXPECT_FALSE(reply.body.contains("SECRET")) << target.toStdString();
        }
    }
}

TEST_F(Downloads, WhatIsNeitherAFileNorAFolderIsRefusedWithoutWaiting) {
    // A FIFO never ends and could hold the server waiting for a writer; a dangling link leads nowhere.
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + "/pipe.txt").constData(), 0644), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + "/pipe.jpg").constData(), 0644), 0);
    QFile::link("nowhere.txt", root + "/dangling.txt");
    writeFile(root + "/folder.jpg/inside.txt", content());
    for (const QString& query : {QString("?download=1"), QString("?view=1")}) {
        for (const QString& name : {QString("pipe.txt"), QString("pipe.jpg")}) {
            const Reply reply = get(port(), "/s/" + name + query);
            EXPECT_EQ(reply.status, 500) << name.toStdString() << query.toStdString();
            EXPECT_TRUE(reply.text().contains("Could not read " + name + ".")) << name.toStdString();
        }
        EXPECT_EQ(get(port(), "/s/dangling.txt" + query).status, 404) << query.toStdString();
        EXPECT_EQ(get(port(), "/s/missing.txt" + query).status, 404) << query.toStdString();
        // A folder named like a photo is still a folder: its archive.
        const Reply folderReply = get(port(), "/s/folder.jpg" + query);
        EXPECT_EQ(folderReply.status, 200) << query.toStdString();
        EXPECT_EQ(folderReply.header("Content-Type"), "application/zip") << query.toStdString();
    }
    // The file itself is still answered after all that.
    EXPECT_EQ(clip().status, 200);
}
