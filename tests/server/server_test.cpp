#include "server/archives/archive_writers.h"
#include "server_fixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QThread>

#include <mutex>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace server_testing;
using State = QuarryShareWebServer::State;

namespace {

// A share holding a 1 GiB file and a folder whose archive takes a while.
class LargeShare : public ServedFolder {
protected:
    void SetUp() override {
        makeSparseFile(folder.path() + "/share/huge.bin", qint64(1) << 30);
        makeSparseFile(folder.path() + "/share/bulk/zeros.bin", qint64(768) << 20);
        snapshot.shares = {makeShare({.slug = "s", .path = folder.path() + "/share"})};
        serve();
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
    const QByteArray bytes = "POST /__unlock/docs HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n\r\n" + body;
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

    // Ended before it was a request: 400 (the request fuzzer's corpus holds more of these).
    const Reply bad = exchange(port, "GET\r\n\r\n", true);
    EXPECT_EQ(bad.reason, "Bad Request");
    EXPECT_EQ(bad.text(), "<h1>Bad Request</h1><p>Could not parse request.</p>");
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\n\r\n", true).status, 200);

    // Bytes that never form a request get no answer, and the connection is closed once the time for a
    // request is up.
    const int idle = connectTo(port);
    sendAll(idle, "GET / HTTP/1.1\r\nHost: 127.0.0.1");
    QElapsedTimer waited;
    waited.start();
    EXPECT_TRUE(readUntilClosed(idle, std::chrono::seconds(10)).isEmpty());
    EXPECT_LT(waited.elapsed(), 8000) << "an idle connection was kept open";
    ::close(idle);

    // A head over 64 KiB is refused, whether or not it ever ends.
    EXPECT_EQ(exchange(port, "GET / HTTP/1.1\r\nX-Fill: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n").status,
              400);
    EXPECT_EQ(exchange(port, QByteArray(70 * 1024, 'a')).status, 400);

    // Answered while the client still holds its side open: a head no later byte can mend (bare LF line
    // ends, a line that is not UTF-8, a request line of one word) is refused; a body is read only by the
    // unlock form, up to 16 KiB, and any other route answers without waiting for its body.
    const QByteArray unlock = "POST /__unlock/docs HTTP/1.1\r\nContent-Length: ";
    const struct {
        QByteArray sent;
        int status;
    } prompt[] = {
        {"GET / HTTP/1.1\nHost: x\n\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\n\r\n", 400},
        {"GET / HTTP/1.1\r\nX-Name: caf\xe9\r\n", 400},
        {"GET\r\n\r\n", 400},
        {unlock + "16385\r\n\r\n", 413},
        {unlock + "16384\r\n\r\npassword=right&x=" + QByteArray(16384 - 17, 'x'), 303},
        {"GET /docs/ HTTP/1.1\r\nContent-Length: 1048576\r\n\r\nsome of it", 401},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n", 200},
    };
    for (const auto& [sent, status] : prompt) {
        const int client = connectTo(port);
        sendAll(client, sent);
        const std::optional<Reply> reply = parseReply(readUntilClosed(client, std::chrono::seconds(5)));
        ::close(client);
        ASSERT_TRUE(reply) << sent.left(40).toStdString();
        EXPECT_EQ(reply->status, status) << sent.left(40).toStdString();
    }
}

TEST_F(WebServer, HalfSentBodiesHoldNoMoreThanTheirRouteReadsAndGiveItBackWhenTheyGo) {
    writeFile(folder.path() + "/open/a.txt", "a");
    snapshot.shares = {makeShare({.slug = "vault", .path = folder.path(), .password = "right"}),
                       makeShare({.slug = "open", .path = folder.path() + "/open"})};
    QuarryShareWebServer::Options options;
    options.limits.largeBodiesBudget = 4 << 20;
    serve(options);
    const qint64 before = QuarryHTTPConnection::bufferedBytes();
    // A flood of unlock forms and other requests, each sending half of a large body and then waiting.
    std::vector<int> flood;
    for (int i = 0; i < 150; ++i) {
        const QByteArray length = i % 3 == 0 ? "1048576" : i % 3 == 1 ? "16384" : "1048576";
        const QByteArray target = i % 3 == 2 ? "/vault/" : "/__unlock/vault";
        const int socket = connectTo(port());
        sendAll(socket, "POST " + target + " HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" +
                            QByteArray(qMin(length.toInt() / 2, 256 * 1024), 'p'));
        flood.push_back(socket);
    }
    // Only the 50 forms within the limit are still read, and each holds at most its 16 KiB and head.
    EXPECT_TRUE(testing_support::waitUntil(
        [&] { return QuarryHTTPConnection::bufferedBytes() - before < 50 * 20 * 1024; },
        std::chrono::seconds(10)))
        << QuarryHTTPConnection::bufferedBytes() - before << " bytes held";
    for (size_t i = 0; i < flood.size(); ++i) {
        if (i % 3 != 1) {
            EXPECT_TRUE(hasAnswered(flood[i], std::chrono::seconds(5))) << i;
        }
        ::close(flood[i]);
    }
    EXPECT_TRUE(testing_support::waitUntil([&] { return QuarryHTTPConnection::bufferedBytes() == before; }))
        << QuarryHTTPConnection::bufferedBytes() - before << " bytes held after every client left";

    // Picks forms of 1.5 MiB, half sent: two fit the large bodies' budget of 4 MiB, the others are
    // answered busy at once; once the two go, a whole one is served.
    const QByteArray form = "download=1&pick=a.txt&pad=" + QByteArray(1536 * 1024 - 26, 'p');
    const QByteArray head = "POST /open/ HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: " +
                            QByteArray::number(form.size()) + "\r\n\r\n";
    flood.clear();
    int busy = 0;
    for (int i = 0; i < 6; ++i) {
        flood.push_back(connectTo(port()));
        sendAll(flood.back(), head + form.left(form.size() / 2));
        const bool answered = hasAnswered(flood.back(), std::chrono::milliseconds(500));
        const std::optional<Reply> reply = parseReply(answered ? readUntilClosed(flood.back()) : "");
        busy += reply && reply->status == 503 && !reply->header("Retry-After").isEmpty();
    }
    EXPECT_EQ(busy, 4);
    EXPECT_LE(QuarryHTTPConnection::bufferedBytes() - before, 4 << 20);
    for (const int socket : flood)
        ::close(socket);
    EXPECT_TRUE(testing_support::waitUntil([&] { return QuarryHTTPConnection::bufferedBytes() == before; }));
    EXPECT_EQ(exchange(port(), head + form).header("Content-Type"), "application/zip");
}

TEST_F(LargeShare, SlowOrVanishingVisitorsNeitherHoldUpOthersNorLeaveAnythingBehind) {
    // One visitor asks for 1 GiB and reads nothing; another waits for a large archive; a listing meanwhile
    // is answered, and memory does not grow with the size of a download.
    const qint64 residentBefore = residentKiB(::getpid());
    const int stalled = ask(port(), "/s/huge.bin?download=1");
    const int archiving = ask(port(), "/s/bulk/?download=1");
    ASSERT_TRUE(hasAnswered(stalled, std::chrono::seconds(5)) &&
                hasAnswered(archiving, std::chrono::seconds(5)));
    EXPECT_EQ(get(port(), "/__browse/s?path=").status, 200);
    EXPECT_LT(residentKiB(::getpid()) - residentBefore, 128 * 1024)
        << "memory grew with the size of a download";
    // Visitors who hang up in the middle of a download do not hurt the server.
    ::close(stalled);
    for (int i = 0; i < 3; ++i) {
        const int socket = ask(port(), "/s/huge.bin?download=1");
        EXPECT_TRUE(hasAnswered(socket, std::chrono::seconds(5)));
        ::close(socket);
    }
    EXPECT_EQ(get(port(), "/__browse/s?path=").status, 200);

    // The server ending while an archive is written stops the writer; nothing is left behind.
    ASSERT_EQ(QuarryArchiveWriters::runningThreads(), 1);
    server.reset();
    EXPECT_EQ(QuarryArchiveWriters::runningThreads(), 0);
    EXPECT_TRUE(temporaryLeftovers(folder).isEmpty());
    EXPECT_TRUE(endedShort(readUntilClosed(archiving, std::chrono::seconds(5))));
    ::close(archiving);
}
