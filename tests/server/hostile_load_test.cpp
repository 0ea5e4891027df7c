// The server under load from clients that do not play fair: connections held open by the thousand
// with a low descriptor limit, one client taking every slot, and clients that stop reading.

#include "core/descriptor_limit.h"
#include "server/archives/archive_writers.h"
#include "server_fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

using namespace server_testing;

namespace {

// A connection from a loopback address of its own, so the server sees a client of that address.
int connectFrom(const char* address, int port, bool blocking = true) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        (::connect(socket, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0 &&
         errno != EINPROGRESS)) {
        ::close(socket);
        return -1;
    }
    return socket;
}

// Whether the server has closed its side of a connection that was sent nothing.
bool closedByServer(int socket) {
    char byte = 0;
    const ssize_t got = ::recv(socket, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Reads what has arrived without waiting, into first: whether the server has closed, or has begun an
// archive, of which this client reads no more (the writers tell when the server let it go).
bool endedOrStreaming(int socket, QByteArray& first) {
    char buffer[4096];
    while (!first.startsWith("HTTP/1.1 200")) {
        const ssize_t got = ::recv(socket, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got <= 0)
            return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        first.append(buffer, got);
    }
    return true;
}

// Peers arrive as IPv4-mapped IPv6 addresses on the dual-stack listener; 127.0.0.1 stands for the
// tunnel's many visitors.
bool isTunnel(const QHostAddress& peer) {
    return peer.toIPv4Address() == QHostAddress(QStringLiteral("127.0.0.1")).toIPv4Address();
}

Reply askOn(int socket, const QByteArray& target) {
    sendAll(socket, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return answerOf(socket, std::chrono::seconds(10));
}

// What each open descriptor of a process stands for: a path, "socket:[…]", "pipe:[…]".
QList<QByteArray> descriptorTargets(qint64 pid) {
    QList<QByteArray> targets;
    const QByteArray folder = "/proc/" + QByteArray::number(pid) + "/fd";
    DIR* listing = ::opendir(folder.constData());
    if (!listing)
        return targets;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[4096];
        const ssize_t length = ::readlink((folder + '/' + entry->d_name).constData(), target, sizeof(target));
        if (length > 0)
            targets << QByteArray(target, length);
    }
    ::closedir(listing);
    return targets;
}

// User and system CPU time a process has used so far.
std::chrono::milliseconds cpuTime(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return std::chrono::milliseconds((fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000 /
                                     ticks);
}

// The web server in a child process whose descriptor limit is 256, hard and soft.
class LimitedServer {
public:
    LimitedServer(const QString& folder, const QStringList& extra) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ASAN_OPTIONS", "detect_leaks=0:quarantine_size_mb=1");
        // The sanitizer checks a dynamic type by writing the object into a pipe it opens for the purpose;
        // with every descriptor taken, which is the point here, that fails and every such check would
        // report a false fault. Those checks alone are left out in this process.
        const QString suppressions = testing_support::sandboxRoot() + "/ubsan-descriptors.supp";
        testing_support::writeFile(suppressions, "vptr_check:*\n");
        environment.insert("UBSAN_OPTIONS",
                           "print_stacktrace=1:halt_on_error=1:suppressions=" + suppressions);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setChildProcessModifier([] {
            const rlimit limit{256, 256};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
        m_process.start(BRIGHTLOOM_SERVER_CHILD, QStringList{folder, "s"} + extra);
        QElapsedTimer waited;
        waited.start();
        while (m_port == 0 && waited.elapsed() < 30000 && m_process.waitForReadyRead(1000)) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("port "))
                m_port = line.mid(5).toInt();
        }
    }
    ~LimitedServer() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    int port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    int m_port = 0;
};

class Flood : public ServedFolder {
protected:
    void SetUp() override {
        // The flood's own sockets need room in this process.
        if (QuarryDescriptorLimit::raiseToHardLimit() < 1200)
            GTEST_SKIP() << "this process may not open 1,200 descriptors";
        root = folder.path() + "/share";
        writeFile(root + "/notes.txt", "notes");
        writeFile(root + "/folder/inside.txt", "inside");
    }

    // One client holds 1,000 connections that never finish a request; another is answered all the same,
    // the server resting meanwhile, and every descriptor comes back once the flood is gone.
    // When the flood arrives while the server is stopped, the system queues every connection it may hold
    // (none is dropped, for its client to retry a second later).
    void floodAndAsk(const QStringList& extra, const QList<QByteArray>& targets,
                     bool arrivesWhileStopped = false) {
        LimitedServer served(root, extra);
        ASSERT_NE(served.port(), 0);
        for (const QByteArray& target : targets)
            ASSERT_EQ(askOn(connectTo(served.port()), target).status, 200);
        const qsizetype descriptorsBefore = descriptorTargets(served.pid()).size();

        if (arrivesWhileStopped)
            ::kill(static_cast<pid_t>(served.pid()), SIGSTOP);
        std::vector<int> flood;
        for (int i = 0; i < 1000; ++i) {
            const int socket = connectFrom("127.0.0.1", served.port(), false);
            ASSERT_GE(socket, 0);
            flood.push_back(socket);
        }
        std::vector<pollfd> connected;
        for (const int socket : flood)
            connected.push_back({socket, POLLOUT, 0});
        if (arrivesWhileStopped) {
            EXPECT_TRUE(testing_support::waitUntil([&] { return ::poll(connected.data(), 1000, 0) == 1000; }))
                << ::poll(connected.data(), 1000, 0) << " of 1,000 connections queued";
            ::kill(static_cast<pid_t>(served.pid()), SIGCONT);
        }
        // Time to take in the flood: all of it at once when it was queued whole.
        QThread::msleep(arrivesWhileStopped ? 2000 : 500);

        const auto cpuBefore = cpuTime(served.pid());
        QElapsedTimer window;
        window.start();
        for (const QByteArray& target : targets) {
            QElapsedTimer answered;
            answered.start();
            const Reply reply = askOn(connectTo(served.port()), target);
            EXPECT_EQ(reply.status, 200) << target.toStdString();
            EXPECT_LT(answered.elapsed(), 1000) << target.toStdString() << " waited behind the flood";
        }
        QThread::msleep(2000);
        const auto cpu = cpuTime(served.pid()) - cpuBefore;
        EXPECT_LT(cpu.count() * 100, window.elapsed() * 5)
            << "the server used " << cpu.count() << " ms of CPU in " << window.elapsed() << " ms";
        // The server held no more than its limit allows.
        EXPECT_LE(descriptorTargets(served.pid()).size(), 256);

        for (const int socket : flood)
            ::close(socket);
        EXPECT_TRUE(testing_support::waitUntil(
            [&] { return descriptorTargets(served.pid()).size() <= descriptorsBefore; },
            std::chrono::seconds(20)))
            << descriptorTargets(served.pid()).size() << " descriptors, " << descriptorsBefore
            << " before the flood";
        EXPECT_EQ(askOn(connectTo(served.port()), targets.first()).status, 200);
    }

    QString root;
};

} // namespace

TEST(DecoderBombs, AreRefusedFromWhatTheyDeclareBeforeAnyMemoryIsTaken) {
    // A few bytes each, declaring pictures whose decoding would hold gigabytes of coefficients.
    QTemporaryDir folder;
    const QString root = folder.path() + "/share";
    writeFile(root + "/colour.jpg", declaredJPEG(30000, 30000, 3, true, 3));
    writeFile(root + "/grey.jpg", declaredJPEG(40000, 40000, 1, true, 1));
    writeFile(root + "/separate-scans.jpg", declaredJPEG(20000, 20000, 3, false, 1));
    QImage small(64, 64, QImage::Format_RGB32);
    small.fill(Qt::blue);
    ASSERT_TRUE(small.save(root + "/small.jpg"));
    LimitedServer server(root, {});
    ASSERT_NE(server.port(), 0);
    // The decoders are loaded once a first picture is made.
    ASSERT_EQ(askOn(connectTo(server.port()), "/s/small.jpg?thumb=1").status, 200);
    const qint64 before = residentKiB(server.pid());
    for (const QByteArray name : {"colour.jpg", "grey.jpg", "separate-scans.jpg"})
        EXPECT_EQ(askOn(connectTo(server.port()), "/s/" + name + "?thumb=1").status, 404) << name.constData();
    EXPECT_LT(peakResidentKiB(server.pid()) - before, 100 * 1024);
}

TEST_F(Flood, AtTheCeilingTheLongestWaitingConnectionMakesRoom) {
    floodAndAsk({}, {"/s/", "/__browse/s?path=folder", "/s/notes.txt?download=1", "/s/folder/?download=1"});
}

TEST_F(Flood, OutOfDescriptorsTheLongestWaitingConnectionMakesRoom) {
    // A ceiling past the limit: the system runs out of descriptors first. Only an answer that needs no
    // descriptor of its own can be given then, as every one is held by the flood.
    floodAndAsk({"--max-connections", "100000"}, {"/"}, true);
}

TEST_F(ServedFolder, OneClientPastItsHalfLosesItsOwnOldestConnections) {
    writeFile(folder.path() + "/share/notes.txt", "notes");
    snapshot.shares = {makeShare({.slug = "s", .path = folder.path() + "/share"})};
    QuarryShareWebServer::Options options;
    options.connections.maxConnections = 40;
    options.connections.speaksForMany = isTunnel;
    serve(options);
    std::vector<int> hog{connectFrom("127.0.0.2", port())};
    if (hog.front() < 0)
        GTEST_SKIP() << "no loopback address besides 127.0.0.1";

    std::vector<int> other;
    for (int i = 0; i < 5; ++i)
        other.push_back(connectFrom("127.0.0.3", port()));
    while (hog.size() < 30)
        hog.push_back(connectFrom("127.0.0.2", port()));
    ASSERT_TRUE(testing_support::waitUntil([&] { return closedByServer(hog[9]); }));
    testing_support::spin(std::chrono::milliseconds(300));
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(closedByServer(hog[static_cast<size_t>(i)]), i < 10) << "connection " << i << " of the hog";
    for (const int socket : other)
        EXPECT_FALSE(closedByServer(socket)) << "another client's connection was closed";

    // Both are still served; the hog's request costs its own oldest waiting connection.
    EXPECT_EQ(askOn(connectFrom("127.0.0.3", port()), "/s/notes.txt?download=1").body, "notes");
    EXPECT_EQ(askOn(connectFrom("127.0.0.2", port()), "/s/notes.txt?download=1").body, "notes");
    EXPECT_TRUE(closedByServer(hog[10]));
    EXPECT_FALSE(closedByServer(hog[11]));
    for (const int socket : other)
        EXPECT_FALSE(closedByServer(socket));
    // Loopback stands for many clients (the tunnel's visitors): it is not held to half.
    std::vector<int> many;
    for (int i = 0; i < 25; ++i)
        many.push_back(connectFrom("127.0.0.1", port()));
    testing_support::spin(std::chrono::milliseconds(300));
    for (const int socket : many)
        EXPECT_FALSE(closedByServer(socket));
    for (const std::vector<int>* sockets : {&other, &hog, &many}) {
        for (const int socket : *sockets)
            ::close(socket);
    }
}

TEST_F(ServedFolder, AClientThatStopsReadingIsDroppedWithItsFile) {
    const QString path = folder.path() + "/share/huge.bin";
    writeFile(path, {});
    ASSERT_TRUE(QFile::resize(path, qint64(256) << 20));
    writeFile(folder.path() + "/share/medium.bin", QByteArray(2 << 20, 'm'));
    snapshot.shares = {makeShare({.slug = "s", .path = folder.path() + "/share"})};
    QuarryShareWebServer::Options options;
    options.limits.sendTimeout = std::chrono::seconds(1);
    serve(options);

    const int stalled = connectTo(port());
    sendAll(stalled, "GET /s/huge.bin?download=1 HTTP/1.1\r\n\r\n");
    const auto openCount = [&] { return descriptorTargets(::getpid()).count(QFile::encodeName(path)); };
    ASSERT_TRUE(testing_support::waitUntil([&] { return openCount() == 1; }));
    EXPECT_TRUE(testing_support::waitUntil([&] { return openCount() == 0; }, std::chrono::seconds(15)))
        << "the file stayed open for a client that reads nothing";
    const QByteArray received = readUntilClosed(stalled, std::chrono::seconds(10));
    ::close(stalled);
    EXPECT_GT(received.size(), 0);
    EXPECT_LT(received.size(), qint64(256) << 20);

    // A slow client that keeps taking bytes is never cut off, however long the whole answer takes.
    const int slow = connectTo(port());
    const int small = 32 * 1024;
    ::setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sendAll(slow, "GET /s/medium.bin?download=1 HTTP/1.1\r\n\r\n");
    QByteArray body;
    QElapsedTimer guard;
    guard.start();
    char buffer[128 * 1024];
    while (guard.elapsed() < 60000) {
        const ssize_t got = ::recv(slow, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        body.append(buffer, got);
        QThread::msleep(150);
    }
    ::close(slow);
    const std::optional<Reply> reply = parseReply(body);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body.size(), 2 << 20);
}

TEST_F(ServedFolder, QueuedWorkHoldsNoSlotAndEndsWithinTheWaitingLimit) {
    if (QuarryDescriptorLimit::raiseToHardLimit() < 4000)
        GTEST_SKIP() << "this process may not open 4,000 descriptors";
    const QString root = folder.path() + "/share";
    // Stored, not deflated: a writer whose client reads nothing fills its buffer at once and waits.
    for (int i = 0; i < 4; ++i)
        makeSparseFile(root + QString("/big/part%1.mp4").arg(i), qint64(1) << 30);
    writeFile(root + "/docs/a.txt", "a");
    snapshot.shares = {makeShare({.slug = "s", .path = root})};
    QuarryShareWebServer::Options options;
    options.connections.maxConnections = 600;
    options.connections.speaksForMany = isTunnel;
    options.limits.queueTimeout = std::chrono::seconds(2);
    options.limits.streamFloorWindow = std::chrono::seconds(2);
    options.archiveLimits = {.atOnce = 2, .perClient = 2};
    serve(options);
    const QByteArray request = "GET /s/big/?download=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n";

    // Archives asked for by one client, more than the connection ceiling, and never read: from one
    // address, then through the tunnel with one forwarded address.
    for (const auto& [source, forwarded] : {std::pair<const char*, QByteArray>{"127.0.0.2", ""},
                                            {"127.0.0.1", "CF-Connecting-IP: 198.51.100.7\r\n"}}) {
        std::vector<int> flood;
        for (int i = 0; i < 700; ++i) {
            flood.push_back(connectFrom(source, port()));
            ASSERT_GE(flood.back(), 0) << "connection " << i;
            sendAll(flood.back(), request + forwarded + "\r\n");
        }
        // Another visitor is answered throughout; every connection of the flood is ended within the
        // waiting limit (those given a writer, once below the floor for a window), most with the busy answer.
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(askOn(connectFrom("127.0.0.3", port()), "/__browse/s?path=docs").status, 200) << source;
        std::vector<QByteArray> first(flood.size());
        const auto allEnded = [&] {
            bool ended = true;
            for (size_t i = 0; i < flood.size(); ++i)
                ended = endedOrStreaming(flood[i], first[i]) && ended;
            return ended && QuarryArchiveWriters::runningThreads() == 0;
        };
        EXPECT_TRUE(testing_support::waitUntil(allEnded, std::chrono::seconds(30))) << source;
        const auto busy = std::count_if(first.begin(), first.end(), [](const QByteArray& bytes) {
            return bytes.startsWith("HTTP/1.1 503 Service Unavailable\r\n");
        });
        EXPECT_GT(busy, 600) << source;
        const auto busyAnswer = std::find_if(first.begin(), first.end(), [](const QByteArray& bytes) {
            return bytes.startsWith("HTTP/1.1 503");
        });
        const std::optional<Reply> reply = parseReply(busyAnswer == first.end() ? QByteArray() : *busyAnswer);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header("Retry-After"), "5");
        EXPECT_EQ(reply->text(),
                  "<h1>Service Unavailable</h1><p>The server is busy. Try again in a moment.</p>");
        for (const int socket : flood)
            ::close(socket);
    }
}
