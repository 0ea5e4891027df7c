#include "store_fixture.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>

using namespace store_testing;
using namespace std::chrono_literals;
using testing_support::waitUntil;
using Kind = QuarryShareWebServer::State::Kind;

namespace {

QuarryShareAppState stateOnPort(int port, int enabledShares) {
    QuarryShareAppState state;
    state.port = port;
    for (int i = 0; i < enabledShares; ++i)
        state.shares.append(customShare(QStringLiteral("S%1").arg(i), QStringLiteral("s%1").arg(i), true));
    return state;
}

// The status of a page asked for under a host name.
int statusUnder(int port, const QByteArray& host) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (!socket.waitForConnected(5000))
        return 0;
    socket.write("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(5000))
        answer += socket.readAll();
    return answer.mid(9, 3).toInt();
}

} // namespace

TEST(StoreServerControl, ServesWhatIsOnComesBackByItselfAndKeepsOnlyPortsItCanUse) {
    const int port = freePort();
    writeState(stateOnPort(port, 3));
    QuarryShareStoreEnvironment environment;
    QuarryShareWebServer* webServer =
        (environment.webServer = std::make_unique<QuarryShareWebServer>()).get();
    QuarryShareStore store(std::move(environment));
    QuarryServerController& server = *store.server();
    server.handleSystemWake(); // not running: a restart follows after a short pause
    testing_support::spin(150ms);
    EXPECT_FALSE(server.isServerRunning());
    ASSERT_TRUE(waitForRunning(store));
    EXPECT_EQ(server.serverState(), QuarryShareWebServer::State::running(port));
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Serving 3 folders on port %1.").arg(port));
    store.toggleShare(store.appState().shares[1].id, false);
    store.toggleShare(store.appState().shares[2].id, false);
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Serving 1 folder on port %1.").arg(port));

    // Stopped underneath: the stop is reported, and the store brings the listener back quietly.
    webServer->stop();
    ASSERT_TRUE(waitUntil([&] { return !server.isServerRunning(); }));
    ASSERT_TRUE(waitForRunning(store));
    EXPECT_FALSE(store.errorMessage());

    for (const char* rejected : {"80", "70000", "1024", "abc", "", "90 00"}) {
        server.setPortString(QString::fromLatin1(rejected));
        EXPECT_EQ(store.appState().port, port) << rejected;
    }
    // That URLs follow at once and the listener moves only at a restart, the settings window's test shows.
    server.setPortString(QStringLiteral("+8080"));
    EXPECT_EQ(readState()->port, 8080);
}

// A port another listener holds: failures retried every second never raise the alert (each retry cancels
// the one pending), a failure left two seconds without a retry raises it, and the retry that finally
// succeeds clears it.
TEST(StoreServerControl, AFailedStartAlertsOnlyWhenNoRetryComesWithinTwoSeconds) {
    for (const bool slowRetry : {false, true}) {
        SCOPED_TRACE(slowRetry);
        QTcpServer occupant;
        ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
        const int port = occupant.serverPort();
        writeState(stateOnPort(port, 1));
        QuarryShareStoreEnvironment environment;
        if (slowRetry)
            environment.timings.retryAfterFailure = 4s;
        QuarryShareStore store(std::move(environment));
        int alerts = 0;
        QObject::connect(&store, &QuarryShareStore::errorMessageChanged,
                         [&] { alerts += store.errorMessage() ? 1 : 0; });
        store.start();
        ASSERT_TRUE(waitUntil([&] { return store.server()->serverState().kind == Kind::failed; }));
        EXPECT_EQ(store.statusMessage(), QStringLiteral("Reconnecting on port %1").arg(port) + QChar(0x2026));
        testing_support::spin(3500ms);
        EXPECT_EQ(store.server()->serverState().kind, Kind::failed);
        EXPECT_EQ(store.errorMessage(),
                  slowRetry ? std::optional(store.server()->serverState().message) : std::nullopt);
        occupant.close();
        ASSERT_TRUE(waitForRunning(store));
        EXPECT_EQ(store.statusMessage(), QStringLiteral("Serving 1 folder on port %1.").arg(port));
        EXPECT_FALSE(store.errorMessage());
        testing_support::spin(2500ms); // the alert the last failure armed never shows
        EXPECT_EQ(alerts, slowRetry ? 1 : 0);
    }
}

TEST(StoreServerControl, InvalidStoredPortIsReportedAndRetried) {
    writeState(R"({"port":70000})");
    QuarryShareStore store;
    store.start();
    EXPECT_EQ(store.errorMessage(), QStringLiteral("Invalid port 70000."));
    ASSERT_TRUE(
        waitUntil([&] { return store.statusMessage().value_or(QString()).startsWith("Reconnecting"); }));
    // Correcting the port through the settings field lets the next retry succeed.
    const int port = freePort();
    store.server()->setPortString(QString::number(port));
    ASSERT_TRUE(waitForRunning(store));
    EXPECT_EQ(store.server()->serverState().port, port);
    EXPECT_FALSE(store.errorMessage());
}

// A name the user trusts is stored, read back and answered at once; a refused one is noticed once per
// session with the choice to add it; the public link's hostname is answered as soon as it is known.
TEST(StoreServerControl, NamesTheUserTrustsAreKeptAndAnsweredAndRefusedOnesNoticedOnce) {
    const int port = freePort();
    writeState(stateOnPort(port, 1));
    QuarryShareStore store;
    QuarryServerController& server = *store.server();
    store.start();
    ASSERT_TRUE(waitForRunning(store));

    EXPECT_EQ(statusUnder(port, "desktop.home.arpa"), 421);
    EXPECT_EQ(statusUnder(port, "desktop.home.arpa:8080"), 421);
    EXPECT_EQ(statusUnder(port, "other.example"), 421);
    ASSERT_TRUE(waitUntil([&] { return server.refusedHostName() == "desktop.home.arpa"; }));
    server.allowHostName(" Desktop.Home.Arpa. ");
    EXPECT_EQ(server.allowedHostNames(), QStringList{"desktop.home.arpa"});
    EXPECT_EQ(readState()->allowedHostNames, QStringList{"desktop.home.arpa"});
    EXPECT_EQ(statusUnder(port, "desktop.home.arpa"), 200);
    EXPECT_EQ(server.refusedHostName(), "other.example");
    server.dismissRefusedHostName();
    EXPECT_EQ(statusUnder(port, "other.example"), 421);
    testing_support::spin(200ms);
    EXPECT_EQ(server.refusedHostName(), "") << "once per name";

    for (const char* notAName : {"", " ", "a b", "x/y", "user@x", "x:80", "."})
        server.allowHostName(QString::fromLatin1(notAName));
    EXPECT_EQ(readState()->allowedHostNames, QStringList{"desktop.home.arpa"});

    store.changePublicTunnel([](QuarrySharePublicTunnel& tunnel) { tunnel.hostname = "Team.Example.Net"; });
    EXPECT_EQ(statusUnder(port, "team.example.net"), 200);

    // Read back by the next start, and taken away again.
    QuarryShareStore later;
    EXPECT_EQ(later.server()->allowedHostNames(), QStringList{"desktop.home.arpa"});
    server.removeAllowedHostName("desktop.home.arpa");
    EXPECT_EQ(statusUnder(port, "desktop.home.arpa"), 421);
    QFile saved(statePath());
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_FALSE(QJsonDocument::fromJson(saved.readAll()).object().contains("allowedHostNames"))
        << "absent when empty";
}
