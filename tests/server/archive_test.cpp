#include "server/archives/archive_writers.h"
#include "server_fixture.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <fcntl.h>
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

class Archives : public ServedFolder {
protected:
    void share(const QuarryArchiveLimits& limits = {}, const QuarryConnectionLimits& connections = {}) {
        root = folder.path() + "/share";
        QDir().mkpath(root);
        snapshot.shares = {makeShare({.slug = "s", .path = root})};
        QuarryShareWebServer::Options options;
        options.archiveLimits = limits;
        options.limits = connections;
        serve(options);
    }
    QString root;
};

} // namespace

TEST_F(Archives, NamesAreFlaggedAndCompressedMediaIsStored) {
    share();
    writeFile(root + "/album/café.txt", QByteArray(4000, 'c'));
    writeFile(root + "/album/Photo.JPG", QByteArray(4000, 'p'));
    writeFile(root + "/album/clip.mp4", QByteArray(4000, 'm'));
    const QString path = folder.path() + "/album.zip";
    ASSERT_TRUE(saveAnswer(port(), "/s/album/?download=1", path).complete);
    EXPECT_EQ(pythonZipReport(path),
              (QStringList{"plain stored 0 album/", "plain stored 4000 album/Photo.JPG",
                           "plain stored 4000 album/clip.mp4", "utf8 deflated 4000 album/café.txt"}));
}

TEST_F(Archives, ALinkSwappedInWhileASlowVisitorReadsIsLeftOut) {
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
    for (const QString& name : order) {
        if (name == "big.mp4" || name == file || name == subfolder)
            continue;
        ASSERT_TRUE(QFileInfo(photos + "/" + name).isDir() ? QDir(photos + "/" + name).removeRecursively()
                                                           : QFile::remove(photos + "/" + name));
    }
    if (file.isEmpty() || subfolder.isEmpty())
        GTEST_SKIP() << "the file system lists the big file last";

    // The visitor takes the head and stops reading: the writer waits inside the big file.
    const int slow = askAs(port(), "/s/photos/?download=1");
    ASSERT_TRUE(hasAnswered(slow, std::chrono::seconds(10)));
    QThread::msleep(500);
    ASSERT_TRUE(QFile::rename(photos + "/" + file, folder.path() + "/moved.txt"));
    ASSERT_TRUE(QFile::link(folder.path() + "/outside/secret.txt", photos + "/" + file));
    ASSERT_TRUE(QDir().rename(photos + "/" + subfolder, folder.path() + "/moved"));
    ASSERT_TRUE(QFile::link("../../outside/more", photos + "/" + subfolder));

    const QByteArray raw = readUntilClosed(slow, std::chrono::seconds(60));
    ::close(slow);
    const std::optional<QByteArray> zip = dechunked(raw.mid(raw.indexOf("\r\n\r\n") + 4));
    ASSERT_TRUE(zip);
    EXPECT_FALSE(zip->contains("SECRET-OUTSIDE"));
    EXPECT_EQ(archiveEntries(*zip), (QStringList{"photos/", "photos/big.mp4"}));
}

TEST_F(Archives, AnEntryThatCannotBeReadIsLeftOutWithALogLine) {
    share();
    writeFile(root + "/docs/keep.txt", "kept");
    // More links in a row than the system follows: unreadable even for root.
    writeFile(root + "/docs/end.txt", "end");
    QString previous = "end.txt";
    for (int i = 0; i < 45; ++i) {
        const QString name = QString("hop%1").arg(i);
        ASSERT_TRUE(QFile::link(previous, root + "/docs/" + name));
        previous = name;
    }
    ASSERT_TRUE(QFile::link(previous, root + "/docs/too-far"));
    if (::geteuid() != 0) {
        writeFile(root + "/docs/locked.txt", "locked");
        ::chmod(QFile::encodeName(root + "/docs/locked.txt").constData(), 0);
    }

    testing::internal::CaptureStdout();
    const Reply reply = get(port(), "/s/docs/?download=1");
    const QString log = QString::fromStdString(testing::internal::GetCapturedStdout());
    EXPECT_EQ(reply.status, 200);
    const QStringList entries = archiveEntries(dechunked(reply.body).value_or(QByteArray()));
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
    // Twelve visitors who leave at once, and one who leaves after the first bytes.
    for (int i = 0; i < 12; ++i)
        ::close(askAs(port(), "/s/big/?download=1", QByteArray::number(i)));
    const int leaving = askAs(port(), "/s/big/?download=1");
    char buffer[4096];
    ASSERT_GT(::recv(leaving, buffer, sizeof(buffer), 0), 0);
    ::close(leaving);
    EXPECT_TRUE(
        waitUntil([] { return QuarryArchiveWriters::runningThreads() == 0; }, std::chrono::seconds(20)));
    EXPECT_TRUE(temporaryLeftovers(folder).isEmpty()) << temporaryLeftovers(folder).join(", ").toStdString();
    EXPECT_EQ(get(port(), "/__browse/s?path=").status, 200);
}

TEST_F(Archives, ArchivesWaitTheirTurnAndNoClientTakesEveryPlace) {
    // Visitors who read nothing keep their places here, as slow readers do for a second.
    share({.atOnce = 2, .perClient = 1, .yieldAfter = std::chrono::minutes(1)});
    makeSparseFile(root + "/big/huge.bin", qint64(1) << 30);
    writeFile(root + "/small/a.txt", "a");

    // One visitor's second archive waits while another visitor's goes ahead.
    const int first = askAs(port(), "/s/big/?download=1", "203.0.113.1");
    ASSERT_TRUE(hasAnswered(first, std::chrono::seconds(10)));
    const int second = askAs(port(), "/s/big/?download=1", "203.0.113.1");
    const int other = askAs(port(), "/s/small/?download=1", "203.0.113.2");
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
    const int busy1 = askAs(port(), "/s/big/?download=1", "203.0.113.3");
    const int busy2 = askAs(port(), "/s/big/?download=1", "203.0.113.4");
    ASSERT_TRUE(hasAnswered(busy1, std::chrono::seconds(10)));
    ASSERT_TRUE(hasAnswered(busy2, std::chrono::seconds(10)));
    const int waiting = askAs(port(), "/s/victim/?download=1", "203.0.113.5");
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
    // Stored, not deflated: the archives' bytes come as fast as the clients take them.
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
    EXPECT_EQ(archiveEntries(dechunked(other.body).value_or(QByteArray())),
              (QStringList{"three/", "three/a.txt", "three/b.txt", "three/c.txt"}));

    // Taking less than the floor over a whole window, they are let go with their writers (what their
    // sockets still hold reaches them only as slowly as they read: their connections' ends are not seen).
    EXPECT_TRUE(
        waitUntil([] { return QuarryArchiveWriters::runningThreads() == 0; }, std::chrono::seconds(30)));
    for (const int socket : slow)
        ::close(socket);
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
    const QString many = folder.path() + "/many.zip";
    ASSERT_TRUE(saveAnswer(port(), "/s/many/?download=1", many).complete);
    const int entries = 1 + 250 * 301;
    EXPECT_EQ(zipFileEntries(many).size(), entries);
    EXPECT_EQ(pythonZipReport(many).size(), entries);
    QFile::remove(many);

    // An entry over 4 GiB, and one that starts past 4 GiB.
    makeSparseFile(root + "/large/film.mp4", (qint64(4) << 30) + 4096);
    writeFile(root + "/large/notes.txt", "after the film");
    const QString large = folder.path() + "/large.zip";
    const SavedAnswer saved = saveAnswer(port(), "/s/large/?download=1", large);
    ASSERT_TRUE(saved.complete);
    EXPECT_GT(saved.bytes, qint64(4) << 30);
    EXPECT_EQ(zipFileEntries(large), (QStringList{"large/", "large/film.mp4", "large/notes.txt"}));
    EXPECT_EQ(pythonZipReport(large, false),
              (QStringList{"plain deflated 14 large/notes.txt", "plain stored 0 large/",
                           "plain stored 4294971392 large/film.mp4"}));
}
