#include "server/archives/archive_writers.h"
#include "server_fixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace server_testing;
using testing_support::waitUntil;

namespace {

// Asks on a fresh connection, as the given visitor (the tunnel's header names it), and reads nothing.
int askAs(int port, const QString& target, const QByteArray& visitor = "198.51.100.1") {
    return ask(port, target.toUtf8(), "CF-Connecting-IP: " + visitor + "\r\n");
}

// The names of a folder's entries in the order the file system lists them.
QStringList listingOrder(const QString& path) {
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Unsorted);
}

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(static_cast<quint32>(size));
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// Bytes of a file saved earlier.
QByteArray slice(const QString& path, qint64 at, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(at))
        return QByteArray();
    return file.read(size);
}

QString checksumsPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           "/brightloom Share/checksums";
}

class Archives : public ServedFolder {
protected:
    void share(const QuarryArchiveLimits& limits = {}, const QuarryConnectionLimits& connections = {}) {
        root = folder.path() + "/share";
        QDir().mkpath(root);
        snapshot.shares = {makeShare({.slug = "s", .path = root})};
        options.archiveLimits = limits;
        options.limits = connections;
        serve(options);
    }

    // Saves the whole archive, checks it is exact and that every tool opens it, then asks for spans of
    // it (one ending at each given offset, and each from there to the end while small) and compares them
    // with the same bytes of the whole; with coldSpans, a new server without checksums answers each.
    QString checkArchive(const QString& target, const QList<qint64>& offsets, bool coldSpans = false) {
        const QString path = folder.path() + "/whole.zip";
        const SavedAnswer whole = saveAnswer(port(), target, path);
        EXPECT_EQ(whole.status, 200);
        EXPECT_TRUE(whole.complete) << whole.bytes << " of " << whole.length;
        EXPECT_EQ(zipToolsRejecting(path), QStringList());
        for (const qint64 at : offsets) {
            if (coldSpans) {
                QFile::remove(checksumsPath());
                serve(options);
            }
            const qint64 first = qBound<qint64>(0, at - 40000, whole.length - 1);
            const Reply span = get(port(), target,
                                   QByteArray("Range: bytes=") + QByteArray::number(first) + '-' +
                                       QByteArray::number(at) + "\r\n");
            EXPECT_EQ(span.status, 206) << at;
            EXPECT_EQ(span.header("ETag"), whole.entityTag);
            EXPECT_EQ(span.header("Content-Range"),
                      QString("bytes %1-%2/%3").arg(first).arg(qMin(at, whole.length - 1)).arg(whole.length));
            EXPECT_TRUE(span.body == slice(path, first, span.body.size())) << "bytes from " << first;
            if (at < whole.length && whole.length - at < (4 << 20)) {
                const Reply rest = get(port(), target, "Range: bytes=" + QByteArray::number(at) + "-\r\n");
                EXPECT_TRUE(rest.body == slice(path, at, whole.length - at)) << "bytes from " << at;
            }
        }
        return path;
    }

    QString root;
    QuarryShareWebServer::Options options;
};

} // namespace

TEST_F(Archives, AnArchiveWithALengthIsExactOpensEverywhereAndEverySpanIsItsBytes) {
    share();
    writeFile(root + "/album/empty.txt", QByteArray());
    QDir().mkpath(root + "/album/nested/empty/folders");
    writeFile(root + "/album/café/日本語 ✓.jpg", randomBytes(3000));
    writeFile(root + "/album/.hidden", "h");
    writeFile(root + "/album/large.mov", randomBytes(3 << 20));
    writeFile(root + "/album/notes.txt", QByteArray(100000, 'n'));

    const QString path = checkArchive("/s/album/?download=1", {1, 500000, 3200000, 3300000}, true);
    // The spans were read cold: the CRCs they needed are kept for the next ones.
    EXPECT_TRUE(QFileInfo(checksumsPath()).size() > 0);
    const QByteArray cold = QCryptographicHash::hash(slice(path, 0, 1 << 30), QCryptographicHash::Sha256);
    EXPECT_EQ(
        pythonZipReport(path),
        (QStringList{"utf8 stored 0 album/", "utf8 stored 0 album/café/", "utf8 stored 0 album/empty.txt",
                     "utf8 stored 0 album/nested/", "utf8 stored 0 album/nested/empty/",
                     "utf8 stored 0 album/nested/empty/folders/", "utf8 stored 1 album/.hidden",
                     "utf8 stored 100000 album/notes.txt", "utf8 stored 3000 album/café/日本語 ✓.jpg",
                     "utf8 stored 3145728 album/large.mov"}));
    const QString warm = checkArchive("/s/album/?download=1", {2000000});
    EXPECT_EQ(QCryptographicHash::hash(slice(warm, 0, 1 << 30), QCryptographicHash::Sha256), cold);
}

TEST_F(Archives, ArchivesPastTheOldZipLimitsOpenEverywhere) {
    share();
    // More entries than the classic format counts: 300 files, reached through 250 links to their
    // folder (links inside the share are followed), which keeps the share itself small.
    for (int i = 0; i < 300; ++i)
        writeFile(root + QString("/files/%1.txt").arg(i), QByteArray::number(i));
    QDir().mkpath(root + "/many");
    for (int i = 0; i < 250; ++i)
        ASSERT_TRUE(QFile::link("../files", root + QString("/many/%1").arg(i)));
    const QString many = checkArchive("/s/many/?download=1", {1000000, 7000000});
    EXPECT_EQ(zipFileEntries(many).size(), 1 + 250 * 301);

    // An entry over 4 GiB, one that starts past 4 GiB, and spans across both.
    makeSparseFile(root + "/large/film.mp4", (qint64(4) << 30) + 4096);
    writeFile(root + "/large/notes.txt", "after the film");
    const QString large = checkArchive("/s/large/?download=1", {100, (qint64(4) << 30) + 4200});
    EXPECT_EQ(pythonZipReport(large, false),
              (QStringList{"utf8 stored 0 large/", "utf8 stored 14 large/notes.txt",
                           "utf8 stored 4294971392 large/film.mp4"}));
}

TEST_F(Archives, ValidatorsAndRangesAnswerAsForAFile) {
    share();
    writeFile(root + "/album/a.txt", "aaaa");
    writeFile(root + "/album/b.txt", "bbbb");
    // The headers' names are checked with the folder downloads'; here what they say.
    const Reply whole = get(port(), "/s/album/?download=1");
    const QByteArray tag = whole.header("ETag").toUtf8();
    const qint64 length = whole.body.size();
    ASSERT_TRUE(tag.startsWith('"') && tag.endsWith('"')) << tag.toStdString();

    const Reply current = get(port(), "/s/album/?download=1", "If-None-Match: " + tag + "\r\n");
    EXPECT_EQ(current.status, 304);
    EXPECT_TRUE(current.body.isEmpty());
    EXPECT_EQ(current.header("ETag"), tag);
    const Reply resumed =
        get(port(), "/s/album/?download=1", "Range: bytes=-10\r\nIf-Range: " + tag + "\r\n");
    EXPECT_EQ(resumed.status, 206);
    EXPECT_EQ(resumed.body, whole.body.right(10));
    // A stale tag, a date (no date vouches for a folder's bytes) or several ranges: the whole archive.
    for (const QByteArray& head :
         {QByteArray("Range: bytes=5-9\r\nIf-Range: \"stale\"\r\n"),
          "Range: bytes=5-9\r\nIf-Range: " + whole.header("Last-Modified").toUtf8() + "\r\n",
          QByteArray("Range: bytes=0-1,5-9\r\n")}) {
        const Reply reply = get(port(), "/s/album/?download=1", head);
        EXPECT_EQ(reply.status, 200) << head.toStdString();
        EXPECT_EQ(reply.body, whole.body);
    }
    const Reply beyond =
        get(port(), "/s/album/?download=1", "Range: bytes=" + QByteArray::number(length) + "-\r\n");
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(beyond.header("Content-Range"), QString("bytes */%1").arg(length));

    // Whatever the archive would hold differently gives a new tag: a file rewritten with its size and
    // time kept, a new file, a picked part of the folder.
    rewriteKeepingTimes(root + "/album/a.txt", "AAAA");
    const QString rewritten = get(port(), "/s/album/?download=1").header("ETag");
    EXPECT_NE(rewritten, tag);
    writeFile(root + "/album/c.txt", "c");
    const QString added = get(port(), "/s/album/?download=1").header("ETag");
    EXPECT_NE(added, rewritten);
    EXPECT_NE(get(port(), "/s/album/?download=1&pick=a.txt").header("ETag"), added);
    EXPECT_TRUE(waitUntil([] { return QuarryArchiveWriters::runningThreads() == 0; }));
}

TEST_F(Archives, AFileThatChangesAfterTheLayoutCutsTheConnectionShortOfItsLength) {
    share();
    makeSparseFile(root + "/big/a.mp4", qint64(256) << 20);
    makeSparseFile(root + "/big/b.mp4", qint64(256) << 20);
    for (const char* query : {"?download=1", "?download=1&compress=1"}) {
        SCOPED_TRACE(query);
        // The visitor takes the head and stops reading: the writer waits inside one of the files.
        const int slow = ask(port(), QByteArray("/s/big/") + query);
        ASSERT_TRUE(hasAnswered(slow, std::chrono::seconds(10)));
        QThread::msleep(300);
        for (const char* name : {"/big/a.mp4", "/big/b.mp4"})
            ASSERT_TRUE(QFile::resize(root + name, qint64(64) << 20));
        EXPECT_TRUE(endedShort(readUntilClosed(slow, std::chrono::seconds(60))));
        ::close(slow);
        for (const char* name : {"/big/a.mp4", "/big/b.mp4"})
            ASSERT_TRUE(QFile::resize(root + name, qint64(256) << 20));
    }
    // A file grown before its turn, and one gone: cut too.
    makeSparseFile(root + "/two/big.bin", qint64(64) << 20);
    for (int i = 0; i < 8; ++i)
        writeFile(root + QString("/two/victim%1.txt").arg(i), "v");
    const QStringList after =
        listingOrder(root + "/two").mid(listingOrder(root + "/two").indexOf("big.bin") + 1);
    for (int gone = 0; gone < qMin(2, int(after.size())); ++gone) {
        const int slow = ask(port(), "/s/two/?download=1");
        ASSERT_TRUE(hasAnswered(slow, std::chrono::seconds(10)));
        if (gone)
            QFile::remove(root + "/two/" + after[gone]);
        else
            writeFile(root + "/two/" + after[0], "grown");
        EXPECT_TRUE(endedShort(readUntilClosed(slow, std::chrono::seconds(60)))) << gone;
        ::close(slow);
    }
}

TEST_F(Archives, ALinkSwappedInWhileASlowVisitorReadsIsNeverFollowedOut) {
    share();
    writeFile(folder.path() + "/outside/secret.txt", "SECRET-OUTSIDE");
    writeFile(folder.path() + "/outside/more/secret.txt", "SECRET-OUTSIDE");
    const QString photos = root + "/photos";
    makeSparseFile(photos + "/big.mp4", qint64(64) << 20);
    // Victims that the writer reaches only after the big file, wherever the file system lists them.
    for (int i = 0; i < 8; ++i) {
        writeFile(photos + QString("/victim%1.txt").arg(i), "inside");
        writeFile(photos + QString("/folder%1/inner.txt").arg(i), "inside");
    }
    const QStringList order = listingOrder(photos);
    const qsizetype big = order.indexOf("big.mp4");
    QString file;
    QString subfolder;
    for (qsizetype i = big + 1; i < order.size(); ++i) {
        if (file.isEmpty() && order[i].startsWith("victim"))
            file = order[i];
        if (subfolder.isEmpty() && order[i].startsWith("folder"))
            subfolder = order[i];
    }
    if (file.isEmpty() || subfolder.isEmpty())
        GTEST_SKIP() << "the file system lists the big file last";

    for (const char* query : {"?download=1", "?download=1&compress=1"}) {
        SCOPED_TRACE(query);
        // The visitor takes the head and stops reading: the writer waits inside the big file.
        const int slow = askAs(port(), QString("/s/photos/") + query);
        ASSERT_TRUE(hasAnswered(slow, std::chrono::seconds(10)));
        QThread::msleep(500);
        ASSERT_TRUE(QFile::rename(photos + "/" + file, folder.path() + "/moved.txt"));
        ASSERT_TRUE(QFile::link(folder.path() + "/outside/secret.txt", photos + "/" + file));
        ASSERT_TRUE(QDir().rename(photos + "/" + subfolder, folder.path() + "/moved"));
        ASSERT_TRUE(QFile::link("../../outside/more", photos + "/" + subfolder));
        const QByteArray raw = readUntilClosed(slow, std::chrono::seconds(60));
        ::close(slow);
        EXPECT_GT(raw.size(), 64 << 20);
        EXPECT_FALSE(raw.contains("SECRET-OUTSIDE"));
        ASSERT_TRUE(QFile::remove(photos + "/" + file) && QFile::remove(photos + "/" + subfolder));
        ASSERT_TRUE(QFile::rename(folder.path() + "/moved.txt", photos + "/" + file));
        ASSERT_TRUE(QDir().rename(folder.path() + "/moved", photos + "/" + subfolder));
    }
}

TEST_F(Archives, AnEntryThatCannotBeReadIsLeftOutWithALogLine) {
    share();
    writeFile(root + "/docs/keep.txt", "kept");
    writeFile(root + "/docs/end.txt", "end");
    ASSERT_TRUE(QFile::link(linkChain(root + "/docs", "end.txt", 45), root + "/docs/too-far"));
    if (::geteuid() != 0) {
        writeFile(root + "/docs/locked.txt", "locked");
        ::chmod(QFile::encodeName(root + "/docs/locked.txt").constData(), 0);
    }

    testing::internal::CaptureStdout();
    const Reply reply = get(port(), "/s/docs/?download=1");
    const QString log = QString::fromStdString(testing::internal::GetCapturedStdout());
    EXPECT_EQ(reply.status, 200);
    const QStringList entries = archiveEntries(reply.body);
    for (const char* kept : {"docs/", "docs/end.txt", "docs/keep.txt", "docs/hop0", "docs/hop30"})
        EXPECT_TRUE(entries.contains(kept)) << kept;
    EXPECT_FALSE(entries.contains("docs/too-far"));
    EXPECT_FALSE(entries.contains("docs/locked.txt"));
    EXPECT_TRUE(
        log.contains("Left out of the archive of " + QDir(root).canonicalPath() + "/docs: docs/too-far ("))
        << log.toStdString();
}

TEST_F(Archives, AVisitorWhoLeavesStopsTheArchiveAndLeavesNothingBehind) {
    share();
    for (int i = 0; i < 4; ++i)
        makeSparseFile(root + QString("/big/part%1.bin").arg(i), qint64(1) << 30);
    // Twelve visitors who leave at once, one who leaves after the first bytes, and one who leaves
    // while the CRCs before its span are read.
    for (int i = 0; i < 12; ++i)
        ::close(askAs(port(), i % 2 ? "/s/big/?download=1" : "/s/big/?download=1&compress=1",
                      QByteArray::number(i)));
    const int leaving = askAs(port(), "/s/big/?download=1");
    char buffer[4096];
    ASSERT_GT(::recv(leaving, buffer, sizeof(buffer), 0), 0);
    ::close(leaving);
    const int resuming = ask(port(), "/s/big/?download=1", "Range: bytes=-100\r\n");
    ASSERT_TRUE(hasAnswered(resuming, std::chrono::seconds(10)));
    ::close(resuming);
    EXPECT_TRUE(
        waitUntil([] { return QuarryArchiveWriters::runningThreads() == 0; }, std::chrono::seconds(20)));
    EXPECT_TRUE(temporaryLeftovers(folder).isEmpty()) << temporaryLeftovers(folder).join(", ").toStdString();
    EXPECT_EQ(get(port(), "/__browse/s?path=").status, 200);
}

TEST_F(Archives, ArchivesWaitTheirTurnAndNoClientTakesEveryPlace) {
    // Visitors who read nothing keep their places here, as slow readers do for a second.
    share({.atOnce = 2, .perClient = 1, .yieldAfter = std::chrono::minutes(1)});
    // Deflated archives of bytes that do not compress: their writers make more than the sockets hold, so a
    // visitor who reads nothing keeps its writer. (A stored archive's writer hands over spans of the files
    // and is done as soon as their CRCs are read.)
    writeFile(root + "/big/huge.bin", randomBytes(48 << 20));
    writeFile(root + "/small/a.txt", "a");

    // One visitor's second archive waits while another visitor's goes ahead.
    const int first = askAs(port(), "/s/big/?download=1&compress=1", "203.0.113.1");
    ASSERT_TRUE(hasAnswered(first, std::chrono::seconds(10)));
    const int second = askAs(port(), "/s/big/?download=1&compress=1", "203.0.113.1");
    const int other = askAs(port(), "/s/small/?download=1&compress=1", "203.0.113.2");
    EXPECT_TRUE(hasAnswered(other, std::chrono::seconds(10)));
    EXPECT_FALSE(hasAnswered(second, std::chrono::milliseconds(500)));
    ::close(first);
    EXPECT_TRUE(hasAnswered(second, std::chrono::seconds(10)));
    ::close(second);
    ::close(other);

    // A folder swapped for a link out of the share while its archive waits: the error page, not the
    // outside folder.
    writeFile(folder.path() + "/outside/secret.txt", "SECRET-OUTSIDE");
    writeFile(root + "/victim/a.txt", "a");
    EXPECT_TRUE(waitUntil([] { return QuarryArchiveWriters::runningThreads() == 0; }));
    const int busy1 = askAs(port(), "/s/big/?download=1&compress=1", "203.0.113.3");
    const int busy2 = askAs(port(), "/s/big/?download=1&compress=1", "203.0.113.4");
    ASSERT_TRUE(hasAnswered(busy1, std::chrono::seconds(10)));
    ASSERT_TRUE(hasAnswered(busy2, std::chrono::seconds(10)));
    const int waiting = askAs(port(), "/s/victim/?download=1&compress=1", "203.0.113.5");
    EXPECT_FALSE(hasAnswered(waiting, std::chrono::milliseconds(300)));
    ASSERT_TRUE(QDir().rename(root + "/victim", folder.path() + "/moved"));
    ASSERT_TRUE(QFile::link(folder.path() + "/outside", root + "/victim"));
    ::close(busy1);
    const std::optional<Reply> refused = parseReply(readUntilClosed(waiting));
    ::close(waiting);
    ::close(busy2);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 500);
    EXPECT_EQ(refused->reason, "Internal Server Error");
    EXPECT_EQ(refused->text(), "<h1>Server Error</h1><p>Could not create a ZIP for victim.</p>");
}

TEST_F(Archives, SlowReadersHoldNoWriterFromAnotherVisitorAndAreLetGoBelowTheFloor) {
    QuarryConnectionLimits connections;
    connections.streamFloorWindow = std::chrono::seconds(8);
    share({.atOnce = 2, .perClient = 2}, connections);
    for (int i = 0; i < 2; ++i)
        makeSparseFile(root + QString("/big/film%1.mp4").arg(i), qint64(1) << 30);
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        writeFile(root + "/three/" + name, name);

    // Four visitors who take a byte and no more hold twice as many writers as there are places; another
    // visitor's archive is made all the same, long before the floor lets them go.
    std::vector<int> slow;
    for (int i = 0; i < 4; ++i) {
        slow.push_back(askAs(port(), "/s/big/?download=1", "203.0.113." + QByteArray::number(i + 1)));
        const int small = 4096;
        ::setsockopt(slow.back(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    char byte = 0;
    for (const int socket : slow)
        ASSERT_EQ(::recv(socket, &byte, 1, 0), 1);
    const Reply other =
        answerOf(askAs(port(), "/s/three/?download=1", "203.0.113.9"), std::chrono::seconds(5));
    EXPECT_EQ(archiveEntries(other.body),
              (QStringList{"three/", "three/a.txt", "three/b.txt", "three/c.txt"}));

    // Taking less than the floor over a whole window, they are let go with their writers (what their
    // sockets still hold reaches them only as slowly as they read: their connections' ends are not seen).
    EXPECT_TRUE(
        waitUntil([] { return QuarryArchiveWriters::runningThreads() == 0; }, std::chrono::seconds(30)));
    for (const int socket : slow)
        ::close(socket);
}
