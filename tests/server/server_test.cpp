#include "server/archive_writers.h"
#include "server_fixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QThread>

#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

using namespace server_testing;
using State = QuarryShareWebServer::State;

namespace {

qint64 residentKiB() {
    QFile statm("/proc/self/statm");
    return statm.open(QIODevice::ReadOnly)
               ? statm.readAll().split(' ').value(1).toLongLong() * (::sysconf(_SC_PAGESIZE) / 1024)
               : 0;
}

// A file of the given size that takes no room on disk.
void makeSparseFile(const QString& path, qint64 size) {
    writeFile(path, {});
    ASSERT_TRUE(QFile::resize(path, size));
}

// A share holding a 1 GiB file and a folder whose archive takes a while.
class LargeShare : public ServedFolder {
protected:
    void SetUp() override {
        makeSparseFile(folder.path() + "/share/huge.bin", qint64(1) << 30);
        makeSparseFile(folder.path() + "/share/bulk/zeros.bin", qint64(768) << 20);
        snapshot.shares = {makeShare({.slug = "s", .path = folder.path() + "/share"})};
        serve();
    }
    // Asks on a fresh connection and leaves the answer unread.
    int ask(const QByteArray& target) const {
        const int socket = connectTo(port());
        sendAll(socket, "GET " + target + " HTTP/1.1\r\n\r\n");
        return socket;
    }
};

class WebServer : public ServedFolder {};

} // namespace

TEST_F(WebServer, AStartReplacedBeforeItWasTriedIsNeverReported) {
    server = std::make_unique<QuarryShareWebServer>();
    std::mutex lock; // reports arrive on the server thread or the caller's
    QList<State> reports;
    server->setStateHandler([&](const State& state) {
        const std::lock_guard locker(lock);
        reports.append(state);
    });

    // Had the first start been tried, its taken port would have been reported as a failure.
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    ASSERT_TRUE(server->start(occupant.serverPort(), snapshot).ok());
    ASSERT_TRUE(server->start(0, snapshot).ok());
    ASSERT_TRUE(testing_support::waitUntil([&] { return port() != 0; }));
    testing_support::spin(std::chrono::milliseconds(200));
    const std::lock_guard locker(lock);
    EXPECT_EQ(reports, QList<State>{State::running(0)});
}

TEST_F(WebServer, ReadsOneWholeBoundedRequestPerConnection) {
    snapshot.shares = {makeShare({.slug = "docs", .path = folder.path(), .password = "right"})};
    QuarryShareWebServer::Options options;
    options.limits.requestTimeout = std::chrono::milliseconds(800);
    serve(options);
    const int port = this->port();

    // A request in several segments is answered once it is whole.
    const int socket = connectTo(port);
    const QByteArray body = "password=right&redirect=%2Fdocs%2Fx";
    const QByteArray bytes =
        "POST /__unlock/docs HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\n\r\n" + body;
    for (qsizetype offset = 0; offset < bytes.size(); offset += 7) {
        ASSERT_TRUE(sendAll(socket, bytes.mid(offset, 7)));
        QThread::msleep(5);
    }
    const std::optional<Reply> split = parseReply(readUntilClosed(socket));
    ::close(socket);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->status, 303);
    EXPECT_EQ(split->header("Location"), "/docs/x");
    EXPECT_FALSE(split->header("Set-Cookie").isEmpty());

    // A second request on the same connection is never answered.
    const Reply twice = exchange(port, "GET / HTTP/1.1\r\n\r\nGET /docs/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(twice.body.size(), twice.header("Content-Length").toInt());

    // Ended before it was a request: 400.
    const Reply bad = exchange(port, "GET\r\n\r\n", true);
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.reason, "Bad Request");
    EXPECT_EQ(bad.text(), "<h1>Bad Request</h1><p>Could not parse request.</p>");
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true).status, 400);
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\n\r\n", true).status, 200);

    // Bytes that never form a request get no answer, and the connection is closed once the time for a
    // request is up.
    const int idle = connectTo(port);
    sendAll(idle, "GET / HTTP/1.1\r\nHost: x");
    QElapsedTimer waited;
    waited.start();
    EXPECT_TRUE(readUntilClosed(idle, std::chrono::seconds(10)).isEmpty());
    EXPECT_LT(waited.elapsed(), 8000) << "an idle connection was kept open";
    ::close(idle);

    // A head over 64 KiB is refused, whether or not it ever ends.
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\nX-Fill: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n").status,
              400);
    EXPECT_EQ(exchange(port, QByteArray(70 * 1024, 'a')).status, 400);
    // A body over 1 MiB is refused as soon as it is announced, as is a length that is no length.
    for (const QByteArray length : {"1048577", "-1", "99999999999999999999999"})
        EXPECT_EQ(
            exchange(port, "POST /__unlock/x HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n").status,
            400);
    // A body of exactly 1 MiB is read.
    EXPECT_EQ(exchange(port, "POST / HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + QByteArray(1048576, 'b'))
                  .status,
              200);
}

TEST_F(LargeShare, SlowOrVanishingVisitorsNeitherHoldUpOthersNorLeaveAnythingBehind) {
    const qint64 residentBefore = residentKiB();
    // One visitor asks for 1 GiB and reads nothing; another waits for a large archive.
    const int stalled = ask("/s/huge.bin?download=1");
    const int archiving = ask("/s/bulk/?download=1");
    QThread::msleep(300);

    QElapsedTimer timer;
    timer.start();
    const Reply listing = get(port(), "/__browse/s?path=");
    EXPECT_EQ(listing.status, 200);
    EXPECT_LT(timer.elapsed(), 5000) << "a listing waited behind other visitors";
    EXPECT_LT(residentKiB() - residentBefore, 128 * 1024) << "memory grew with the size of a download";

    // Both transfers still complete in full.
    const QByteArray head = readUntilClosed(stalled, std::chrono::milliseconds(50));
    qint64 received = head.size();
    char buffer[1 << 16];
    QElapsedTimer guard;
    guard.start();
    while (guard.elapsed() < 120000) {
        const ssize_t got = ::recv(stalled, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        received += got;
    }
    ::close(stalled);
    const qint64 headLength = head.indexOf("\r\n\r\n") + 4;
    EXPECT_GT(headLength, 4);
    EXPECT_EQ(received - headLength, qint64(1) << 30);

    const std::optional<Reply> archive = parseReply(readUntilClosed(archiving, std::chrono::seconds(120)));
    ::close(archiving);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->status, 200);
    EXPECT_EQ(archive->header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(archiveEntries(dechunked(archive->body).value_or(QByteArray())),
              (QStringList{"bulk/", "bulk/zeros.bin"}));

    // Visitors who hang up in the middle of a download do not hurt the server.
    for (int i = 0; i < 3; ++i) {
        const int socket = ask("/s/huge.bin?download=1");
        char first[4096];
        EXPECT_GT(::recv(socket, first, sizeof(first), 0), 0);
        ::close(socket);
        QThread::msleep(100);
    }
    EXPECT_EQ(get(port(), "/__browse/s?path=").status, 200);

    // The server ending while an archive is written stops the writer; nothing is left behind.
    const int cutShort = ask("/s/bulk/?download=1");
    ASSERT_TRUE(testing_support::waitUntil([] { return QuarryArchiveWriters::runningThreads() == 1; }));
    server.reset();
    EXPECT_EQ(QuarryArchiveWriters::runningThreads(), 0);
    EXPECT_TRUE(temporaryLeftovers(folder).isEmpty());
    const QByteArray cut = readUntilClosed(cutShort, std::chrono::seconds(5));
    ::close(cutShort);
    EXPECT_FALSE(dechunked(cut.mid(cut.indexOf("\r\n\r\n") + 4)).has_value());
}
