#include "server_fixture.h"

#include "server/http/connection.h"
#include "server/work/shared_work.h"
#include "server/work/work_pool.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace server_testing;
using testing_support::waitUntil;

namespace {

// Waits on a pool thread, which has no event loop to turn, for at most ten seconds.
void awaitOnWorker(const std::atomic_bool& flag) {
    for (int i = 0; i < 1000 && !flag; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Connections made here answer with what the test's responder gives; they live on this thread, whose
// event loop the test turns while it waits.
class PooledServer : public QObject {
public:
    explicit PooledServer(QuarryHTTPConnection::Responder responder) {
        EXPECT_TRUE(m_listener.listen(QHostAddress::LocalHost, 0));
        connect(&m_listener, &QTcpServer::newConnection, this, [this, responder] {
            while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
                const int descriptor = ::dup(static_cast<int>(socket->socketDescriptor()));
                delete socket;
                new QuarryHTTPConnection(descriptor, responder, {}, this);
            }
        });
    }
    int port() const { return m_listener.serverPort(); }

private:
    QTcpServer m_listener;
};

// Reads without blocking the event loop the server needs; "" until the server has closed.
QByteArray answerOnceClosed(int socket) {
    QByteArray received;
    bool closed = false;
    waitUntil([&] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(socket, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got > 0) {
                received.append(buffer, got);
                continue;
            }
            closed = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            return closed;
        }
    });
    ::close(socket);
    return closed ? received : QByteArray();
}

} // namespace

TEST(WorkPool, SlowWorkHoldsUpNobodyAndAVisitorWhoLeavesStopsWorkThatAsksForIt) {
    QuarryWorkPool pool(2);
    std::atomic_bool releaseSlow{false};
    std::atomic_bool sawCancel{false};
    PooledServer server([&](const HTTPRequest& request, const QHostAddress&) {
        const QString path = request.path();
        const bool leaving = path == QLatin1String("/until-cancelled");
        return pool.offload(
            [&, path](const std::atomic_bool& cancelled) {
                if (path == QLatin1String("/slow"))
                    awaitOnWorker(releaseSlow);
                if (path == QLatin1String("/until-cancelled")) {
                    awaitOnWorker(cancelled);
                    sawCancel = cancelled.load();
                }
                return HTTPResponse::html(QStringLiteral("done ") + path);
            },
            leaving);
    });

    const int slow = ask(server.port(), "/slow");
    EXPECT_TRUE(answerOnceClosed(ask(server.port(), "/quick")).endsWith("done /quick"))
        << "answered while the slow work still runs";
    char unused;
    EXPECT_EQ(::recv(slow, &unused, 1, MSG_DONTWAIT | MSG_PEEK), -1) << "the slow answer comes after";
    releaseSlow = true;
    EXPECT_TRUE(answerOnceClosed(slow).endsWith("done /slow"));

    // A visitor that ends its sending direction still gets its answer...
    const int halfClosed = ask(server.port(), "/quick");
    ::shutdown(halfClosed, SHUT_WR);
    EXPECT_TRUE(answerOnceClosed(halfClosed).endsWith("done /quick"));

    // ...unless the work ends when the visitor leaves: then the connection goes, and the work is told.
    const int leaving = ask(server.port(), "/until-cancelled");
    testing_support::spin(std::chrono::milliseconds(100));
    ::shutdown(leaving, SHUT_WR);
    EXPECT_EQ(answerOnceClosed(leaving), QByteArray());
    EXPECT_TRUE(waitUntil([&] { return sawCancel.load(); }));
}

TEST(WorkPool, AnAnswerOfManyMegabytesReachesAClientThatReadsFastWhole) {
    const QByteArray body(9 << 20, 'b');
    QuarryWorkPool pool(1);
    PooledServer server([&](const HTTPRequest&, const QHostAddress&) {
        return pool.offload(
            [&](const std::atomic_bool&) { return HTTPResponse::binary(body, "text/plain"); });
    });
    // Read on a thread of its own as fast as it comes, while this thread runs the connection.
    QByteArray received;
    std::atomic_bool done{false};
    std::thread reader([&] {
        const int socket = ask(server.port(), "/");
        received = readUntilClosed(socket);
        ::close(socket);
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }, std::chrono::seconds(30)));
    reader.join();
    EXPECT_TRUE(received.endsWith(body)) << received.size() << " bytes";
}

// Made once for everyone who asks and a couple at once per client: the busy listing tests show it.
TEST(SharedWork, WorkEveryoneWhoAskedForHasLeftIsCancelled) {
    QuarryWorkPool pool(2);
    QuarrySharedWork shared(&pool, 1);
    std::atomic_int runs{0};
    std::atomic_bool sawCancel{false};
    std::vector<HTTPResponse> responses;
    for (int asker = 0; asker < 2; ++asker) {
        responses.push_back(shared.offload("key", "client", [&](const std::atomic_bool& cancelled) {
            ++runs;
            awaitOnWorker(cancelled);
            sawCancel = cancelled.load();
            return HTTPResponse();
        }));
        responses.back().deferred->start([](HTTPResponse) {});
    }
    EXPECT_TRUE(waitUntil([&] { return runs.load() == 1; }));
    responses.clear();
    EXPECT_TRUE(waitUntil([&] { return sawCancel.load(); }));
    EXPECT_EQ(runs.load(), 1);
}

TEST(WorkPool, RunsAtMostItsThreadsAtOnceAndEndsWithoutTheJobsThatWait) {
    std::atomic_int running{0};
    std::atomic_int most{0};
    std::atomic_int finished{0};
    std::atomic_bool release{false};
    std::vector<HTTPResponse> responses;
    std::vector<QByteArray> answers;
    auto pool = std::make_unique<QuarryWorkPool>(2);
    for (int i = 0; i < 6; ++i) {
        HTTPResponse response = pool->offload([&](const std::atomic_bool&) {
            most = std::max(most.load(), ++running);
            awaitOnWorker(release);
            --running;
            ++finished;
            return HTTPResponse::html(QStringLiteral("job"));
        });
        response.deferred->start([&](HTTPResponse answer) { answers.push_back(answer.body); });
        responses.push_back(std::move(response));
    }
    EXPECT_TRUE(waitUntil([&] { return running.load() == 2; }));
    testing_support::spin(std::chrono::milliseconds(100));
    EXPECT_EQ(running.load(), 2) << "the other four wait their turn";

    // Ending the pool waits for the two that run and drops the four that wait.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        release = true;
    });
    pool.reset();
    releaser.join();
    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(most.load(), 2);
    EXPECT_TRUE(waitUntil([&] { return answers.size() == 2; })) << "the two that ran still answer";
    testing_support::spin(std::chrono::milliseconds(100));
    EXPECT_EQ(answers.size(), 2U) << "the four that waited never do";
}
