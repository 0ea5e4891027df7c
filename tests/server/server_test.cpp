#include "server_fixture.h"
#include "support/test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

using namespace server_testing;
using State = QuarryShareWebServer::State;

namespace {

// Collects every report; reports arrive on the server thread or the caller's.
struct Reports {
    QMutex lock;
    QList<State> states;
    void install(QuarryShareWebServer& server) {
        server.setStateHandler([this](const State& state) {
            QMutexLocker locker(&lock);
            states.append(state);
        });
    }
    void clear() {
        QMutexLocker locker(&lock);
        states.clear();
    }
    QList<State> taken() {
        QMutexLocker locker(&lock);
        return states;
    }
};

qint64 residentKiB() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

} // namespace

TEST(WebServer, ListenerLifecycleIsReportedOncePerChange) {
    QuarryShareWebServer server;
    Reports reports;
    reports.install(server);

    QuarryShareServerSnapshot snapshot;
    snapshot.appName = "Name";
    const Result<void> invalid = server.start(70000, snapshot);
    ASSERT_FALSE(invalid.ok());
    EXPECT_EQ(invalid.error(), (QuarryError{"QuarryShareWebServer", 1, "Invalid port 70000."}));
    EXPECT_EQ(server.currentSnapshot(), snapshot);
    EXPECT_FALSE(server.start(-1, snapshot).ok());

    // A port that is taken: the failure comes through the handler with the system's description.
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    ASSERT_TRUE(server.start(occupant.serverPort(), snapshot).ok());
    ASSERT_TRUE(testing_support::waitUntil([&] { return !reports.taken().isEmpty(); }));
    const State failed = reports.taken().first();
    EXPECT_EQ(failed.kind, State::Kind::failed);
    EXPECT_FALSE(failed.message.isEmpty());
    EXPECT_EQ(server.listeningPort(), 0);

    // Replaced before it was ready: only the second start is reported.
    reports.clear();
    ASSERT_TRUE(server.start(occupant.serverPort(), snapshot).ok());
    ASSERT_TRUE(server.start(0, snapshot).ok());
    ASSERT_TRUE(testing_support::waitUntil([&] { return !reports.taken().isEmpty(); }));
    testing_support::spin(std::chrono::milliseconds(200));
    EXPECT_EQ(reports.taken(), QList<State>{State::running(0)});
    const int port = server.listeningPort();
    EXPECT_GT(port, 0);
    EXPECT_EQ(get(port, "/").status, 200);

    // stop reports once, on the caller's thread, and the port is closed.
    reports.clear();
    server.stop();
    EXPECT_EQ(reports.taken(), QList<State>{State::stopped()});
    testing_support::spin(std::chrono::milliseconds(200));
    EXPECT_EQ(reports.taken().size(), 1);
    EXPECT_TRUE(testing_support::waitUntil([port] {
        const int socket = connectTo(port);
        if (socket >= 0)
            ::close(socket);
        return socket < 0;
    }));
    server.stop();
    EXPECT_EQ(reports.taken().size(), 2);
}

TEST(WebServer, ReadsExactlyOneRequestPerConnection) {
    QTemporaryDir folder;
    QuarryShareServerSnapshot snapshot;
    snapshot.shares = {makeShare("docs", folder.path(), true, QString("right"))};
    RunningServer running(snapshot);
    const int port = running.port();

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
    const QByteArray twice = exchange(port, "GET / HTTP/1.1\r\n\r\nGET /docs/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(twice.count("HTTP/1.1 "), 1);

    // Ended before it was a request: 400.
    const std::optional<Reply> bad = parseReply(exchange(port, "GET\r\n\r\n", true));
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_EQ(bad->reason, "Bad Request");
    EXPECT_EQ(bad->text(), "<h1>Bad Request</h1><p>Could not parse request.</p>");
    EXPECT_EQ(parseReply(exchange(port, "GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true))->status,
              400);
    EXPECT_EQ(parseReply(exchange(port, "GET / HTTP/1.1\r\n\r\n", true))->status, 200);
}

TEST(WebServer, ReadsAreBoundedInSizeAndTime) {
    QuarryShareWebServer::Options options;
    options.limits.requestTimeout = std::chrono::milliseconds(800);
    RunningServer running({}, options);
    const int port = running.port();

    // Bytes that never form a request get no answer while the client keeps its side open...
    const int idle = connectTo(port);
    sendAll(idle, "GET / HTTP/1.1\r\nHost: x");
    EXPECT_TRUE(readUntilClosed(idle, std::chrono::milliseconds(300)).isEmpty());
    // ...and the connection is closed, still without an answer, once the time for a request is up.
    EXPECT_TRUE(closedWithoutAnswer(idle, std::chrono::seconds(5)));
    ::close(idle);

    const auto answerTo = [port](const QByteArray& bytes) {
        const int socket = connectTo(port);
        sendAll(socket, bytes);
        const QByteArray answer = readUntilClosed(socket, std::chrono::seconds(5));
        ::close(socket);
        return parseReply(answer);
    };
    const QByteArray hugeHead = "GET / HTTP/1.1\r\nX-Fill: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n";
    const std::optional<Reply> head = answerTo(hugeHead);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 400);
    EXPECT_EQ(head->text(), "<h1>Bad Request</h1><p>Could not parse request.</p>");
    const std::optional<Reply> endless = answerTo(QByteArray(70 * 1024, 'a'));
    ASSERT_TRUE(endless);
    EXPECT_EQ(endless->status, 400);
    // A body over 1 MiB is refused as soon as it is announced.
    const std::optional<Reply> body =
        answerTo("POST /__unlock/x HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n");
    ASSERT_TRUE(body);
    EXPECT_EQ(body->status, 400);
    EXPECT_EQ(answerTo("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n")->status, 400);
    // A body of exactly 1 MiB is read.
    EXPECT_EQ(
        answerTo("POST / HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + QByteArray(1048576, 'b'))->status,
        200);
}

TEST(WebServer, SlowVisitorsDoNotHoldUpOthers) {
    QTemporaryDir folder;
    const QString root = folder.path() + "/share";
    QDir().mkpath(root + "/bulk");
    QFile huge(root + "/huge.bin");
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(qint64(1) << 30));
    huge.close();
    QFile bulk(root + "/bulk/zeros.bin");
    ASSERT_TRUE(bulk.open(QIODevice::WriteOnly));
    ASSERT_TRUE(bulk.resize(qint64(768) << 20));
    bulk.close();
    QuarryShareServerSnapshot snapshot;
    snapshot.shares = {makeShare("s", root)};
    RunningServer running(snapshot);
    const int port = running.port();
    const qint64 residentBefore = residentKiB();

    // One visitor asks for 1 GiB and reads nothing; another waits for a large archive.
    const int stalled = connectTo(port);
    sendAll(stalled, "GET /s/huge.bin?download=1 HTTP/1.1\r\n\r\n");
    const int archiving = connectTo(port);
    sendAll(archiving, "GET /s/bulk/?download=1 HTTP/1.1\r\n\r\n");
    QThread::msleep(300);

    QElapsedTimer timer;
    timer.start();
    const Reply listing = get(port, "/__browse/s?path=");
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
    EXPECT_EQ(archive->header("Content-Length").toLongLong(), archive->body.size());
    EXPECT_TRUE(testing_support::waitUntil([] { return leftoverWorkFolders().isEmpty(); }));
}

TEST(WebServer, EndsCleanlyWithWorkInProgress) {
    QTemporaryDir folder;
    QFile bulk(folder.path() + "/share/bulk/zeros.bin");
    QDir().mkpath(folder.path() + "/share/bulk");
    ASSERT_TRUE(bulk.open(QIODevice::WriteOnly));
    ASSERT_TRUE(bulk.resize(qint64(512) << 20));
    bulk.close();
    QuarryShareServerSnapshot snapshot;
    snapshot.shares = {makeShare("s", folder.path() + "/share")};
    int archiving = -1;
    {
        RunningServer running(snapshot);
        archiving = connectTo(running.port());
        sendAll(archiving, "GET /s/bulk/?download=1 HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(testing_support::waitUntil([] { return !leftoverWorkFolders().isEmpty(); }));
    }
    // The server is gone: its archive was abandoned and its work folder removed.
    EXPECT_TRUE(leftoverWorkFolders().isEmpty());
    EXPECT_TRUE(readUntilClosed(archiving, std::chrono::seconds(5)).isEmpty());
    ::close(archiving);
}

TEST(WebServer, VisitorsWhoLeaveEarlyDoNotHurtTheServer) {
    QTemporaryDir folder;
    QFile big(folder.path() + "/share/big.bin");
    QDir().mkpath(folder.path() + "/share");
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(qint64(256) << 20));
    big.close();
    QuarryShareServerSnapshot snapshot;
    snapshot.shares = {makeShare("s", folder.path() + "/share")};
    RunningServer running(snapshot);
    for (int i = 0; i < 3; ++i) {
        const int socket = connectTo(running.port());
        sendAll(socket, "GET /s/big.bin?download=1 HTTP/1.1\r\n\r\n");
        char buffer[4096];
        EXPECT_GT(::recv(socket, buffer, sizeof(buffer), 0), 0);
        ::close(socket);
        QThread::msleep(100);
    }
    EXPECT_EQ(get(running.port(), "/__browse/s?path=").status, 200);
}
