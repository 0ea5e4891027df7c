#include "store_fixture.h"

#include "core/state_document.h"
#include "store/keychain.h"
#include "store/keychain_file.h"
#include "support/fake_broker.h"
#include "support/fake_cloudflared.h"
#include "support/private_session_bus.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>

using namespace store_testing;
using testing_support::FakeBroker;
using testing_support::waitUntil;
using Status = QuarryShareTunnelService::Status;
using namespace std::chrono_literals;

namespace {

const QByteArray kReservation =
    R"({"hostname":"studio-mac.example.net","tunnelID":"t-42","token":"tok-secret"})";

class StorePublicLink : public testing_support::SecretServiceSuite {
protected:
    // One share, the fake broker as the broker; the share is on and protected unless `ready` is false.
    QuarryFolderShare writeStateWith(bool ready = true) {
        QuarryShareAppState state;
        state.port = freePort();
        state.shares = {customShare(QStringLiteral("Docs"), QStringLiteral("docs"), ready)};
        if (ready) {
            state.shares[0].passwordSalt = QStringLiteral("SALT");
            state.shares[0].passwordDigest = QStringLiteral("digest");
        }
        state.publicTunnel.brokerURL = broker.url(QStringLiteral("/")).toString();
        writeState(state);
        return state.shares[0];
    }

    // A store on the computer "Studio Mac" whose only cloudflared is `cloudflared`, a fake that runs on.
    std::unique_ptr<QuarryShareStore> makeStore(const QString& cloudflared = QString()) {
        QuarryShareStoreEnvironment environment;
        environment.computerName = [] { return QStringLiteral("Studio Mac"); };
        environment.tunnelService = std::make_unique<QuarryShareTunnelService>();
        environment.tunnelService->setCloudflaredCandidates(
            {cloudflared.isNull() ? testing_support::writeFakeCloudflared(m_programs.path(), "exec sleep 60")
                                  : cloudflared});
        return std::make_unique<QuarryShareStore>(std::move(environment));
    }

    // Starts the link and waits for the outcome: an error, or the message that it is online.
    static void startAndWait(QuarryShareStore& store) {
        store.setErrorMessage(std::nullopt);
        store.publicLink()->startPublicTunnel();
        ASSERT_TRUE(waitUntil(
            [&] {
                return store.errorMessage() ||
                       store.statusMessage().value_or(QString()).startsWith("Public link is online");
            },
            20s));
    }

    // The start failed with `message` everywhere the user and the next launch look; then cleared.
    static void expectFailure(QuarryShareStore& store, const QString& message) {
        testing_support::spin(100ms); // reports issued before the failure must not replace it
        EXPECT_EQ(store.publicLink()->publicTunnelStatus(), Status::failed(message));
        EXPECT_EQ(store.errorMessage(), message);
        EXPECT_EQ(readState()->publicTunnel.lastError, message);
        store.setErrorMessage(std::nullopt);
    }

    QList<QByteArray> launches() const { return testing_support::launchesIn(m_programs.path()); }

    FakeBroker broker;

private:
    QTemporaryDir m_programs;
};

// No Secret Service at all: tokens go to the private file.
class StorePublicLinkWithoutSecretService : public StorePublicLink {
protected:
    void SetUp() override {}
};

} // namespace

TEST_F(StorePublicLink, TheGuardNamesTheFirstMissingRequirementThenEachFailedStepItsOwnMessage) {
    const QuarryFolderShare open = writeStateWith(false);
    auto store = makeStore(testing_support::sandboxRoot() + "/nowhere/cloudflared");
    QuarryPublicLinkController* link = store->publicLink();
    EXPECT_FALSE(link->publicTunnelCanStart());
    EXPECT_EQ(link->publicTunnelRequirementMessage(),
              QStringLiteral("Install or bundle cloudflared before turning on public links."));
    // cloudflared appears while the application is in the background.
    const QString cloudflared = testing_support::sandboxRoot() + "/nowhere/cloudflared";
    testing_support::writeFakeCloudflared(testing_support::sandboxRoot() + "/nowhere", "exec sleep 60");
    int announced = 0;
    QObject::connect(link, &QuarryPublicLinkController::publicTunnelRequirementsChanged,
                     [&] { ++announced; });
    store->handleApplicationActivated();
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(link->publicTunnelRequirementMessage(),
              QStringLiteral("Turn on at least one space before publishing a public link."));
    store->toggleShare(open.id, true);
    const QString passwordRule =
        QStringLiteral("Set a password on every enabled space before publishing it to the internet.");
    EXPECT_EQ(link->publicTunnelRequirementMessage(), passwordRule);
    const QByteArray before = encodeAppState(store->appState());
    startAndWait(*store);
    EXPECT_EQ(store->errorMessage(), passwordRule);
    EXPECT_EQ(link->publicTunnelStatus(), Status::stopped());
    EXPECT_EQ(encodeAppState(store->appState()), before);
    store->setPassword(open.id, QStringLiteral("pw"));
    EXPECT_TRUE(link->publicTunnelCanStart());
    EXPECT_FALSE(link->publicTunnelRequirementMessage());
    EXPECT_EQ(announced, 3);
    ASSERT_TRUE(waitForRunning(*store)); // its report clears the error shown so far

    link->setPublicTunnelBrokerURL(QStringLiteral("  "));
    startAndWait(*store);
    expectFailure(*store, QStringLiteral("Enter a valid tunnel broker URL."));
    EXPECT_TRUE(broker.requests.isEmpty());

    link->setPublicTunnelBrokerURL(broker.url(QStringLiteral("/")).toString());
    broker.answer(409, R"({"error":"That subdomain is taken."})");
    startAndWait(*store);
    expectFailure(*store, QStringLiteral("That subdomain is taken."));
    EXPECT_FALSE(readState()->publicTunnel.isEnabled);

    // cloudflared cannot be launched: the reservation stays saved and the link stays wanted.
    testing_support::writeFile(cloudflared, "#!/nonexistent/interpreter\n");
    broker.answer(200, kReservation);
    startAndWait(*store);
    ASSERT_FALSE(store->errorMessage().value_or(QString()).isEmpty());
    expectFailure(*store, link->publicTunnelStatus().text);
    EXPECT_TRUE(readState()->publicTunnel.isEnabled);
    EXPECT_EQ(readState()->publicTunnel.hostname, QStringLiteral("studio-mac.example.net"));
}

TEST_F(StorePublicLinkWithoutSecretService, ATokenThatCannotBeStoredFailsTheStart) {
    const QString secrets = QuarryKeychainFile::filePath();
    testing_support::writeFile(secrets, "{ not json");
    writeStateWith();
    broker.answer(200, kReservation);
    auto store = makeStore();
    startAndWait(*store);
    const QString message = store->errorMessage().value_or(QString());
    EXPECT_TRUE(message.contains(secrets)) << message.toStdString();
    expectFailure(*store, message);
    EXPECT_FALSE(readState()->publicTunnel.isEnabled);
    EXPECT_TRUE(launches().isEmpty());
    QFile kept(secrets); // left as it was, for the user to repair
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("{ not json"));
}

TEST_F(StorePublicLink, ALinkRunsWithItsTokenHiddenAndResumesAtTheNextStartWithoutTheBroker) {
    writeStateWith();
    broker.answer(200, kReservation);
    {
        auto store = makeStore();
        startAndWait(*store);
        ASSERT_TRUE(waitUntil([&] {
            return store->publicLink()->publicTunnelStatus() ==
                   Status::running(QStringLiteral("studio-mac.example.net"));
        }));
        EXPECT_EQ(store->statusMessage(),
                  QStringLiteral("Public link is online at https://studio-mac.example.net/."));
        // The broker was asked for the computer's name as subdomain, with this installation's id and port.
        ASSERT_EQ(broker.requests.size(), 1);
        const QJsonObject sent = QJsonDocument::fromJson(broker.requests[0].body).object();
        EXPECT_EQ(sent.value("requestedSubdomain").toString(), QStringLiteral("studio-mac"));
        EXPECT_EQ(sent.value("installationID").toString(), store->appState().installationID);
        EXPECT_EQ(sent.value("localPort").toInt(), store->appState().port);
        // Host name and tunnel id are saved; the token lives only in the secret store and the child's
        // environment.
        EXPECT_EQ(readState()->publicTunnel.hostname, QStringLiteral("studio-mac.example.net"));
        EXPECT_EQ(readState()->publicTunnel.tunnelID, QStringLiteral("t-42"));
        EXPECT_TRUE(readState()->publicTunnel.isEnabled);
        QFile document(statePath());
        ASSERT_TRUE(document.open(QIODevice::ReadOnly));
        EXPECT_FALSE(document.readAll().contains("tok-secret"));
        EXPECT_EQ(*QuarryShareKeychain::read(store->publicLink()->tunnelTokenAccount()),
                  QStringLiteral("tok-secret"));
        ASSERT_TRUE(waitUntil([&] { return launches().size() == 1; }));
        EXPECT_TRUE(launches()[0].endsWith(" tunnel run|tok-secret|"));
    } // quitting ends the child
    ASSERT_TRUE(waitUntil([&] { return ::kill(testing_support::pidOf(launches()[0]), 0) != 0; }));

    const auto startAgain = [&] {
        auto store = makeStore();
        store->start();
        return store;
    };
    {
        auto store = startAgain();
        ASSERT_TRUE(waitUntil([&] { return launches().size() == 2; }));
        EXPECT_TRUE(launches()[1].endsWith(" tunnel run|tok-secret|"));
        ASSERT_TRUE(waitUntil(
            [&] { return store->publicLink()->publicTunnelStatus().kind == Status::Kind::running; }));
        EXPECT_EQ(broker.requests.size(), 1);

        // Turning it off stops the child and keeps the host name for later.
        store->publicLink()->stopPublicTunnel();
        EXPECT_EQ(store->statusMessage(), QStringLiteral("Public link is off."));
        EXPECT_FALSE(readState()->publicTunnel.isEnabled);
        EXPECT_EQ(readState()->publicTunnel.hostname, QStringLiteral("studio-mac.example.net"));
        ASSERT_TRUE(waitUntil([&] { return ::kill(testing_support::pidOf(launches()[1]), 0) != 0; }));
        testing_support::spin(200ms);
        EXPECT_EQ(store->publicLink()->publicTunnelStatus(), Status::stopped());
    }
    {
        auto store = startAgain();
        testing_support::spin(300ms);
        EXPECT_EQ(launches().size(), 2); // turned off: no resumption
    }

    // Wanted, but the token is gone (a new installation id, another keyring): nothing happens, quietly.
    QuarryShareAppState state = *readState();
    state.publicTunnel.isEnabled = true;
    state.installationID = newUUIDText();
    writeState(state);
    auto store = startAgain();
    testing_support::spin(300ms);
    EXPECT_EQ(launches().size(), 2);
    EXPECT_EQ(store->publicLink()->publicTunnelStatus(), Status::stopped());
    EXPECT_FALSE(store->errorMessage());
}

TEST_F(StorePublicLink, AvailabilityChecksReportWithoutStoringAnything) {
    writeStateWith();
    auto store = makeStore();
    store->publicLink()->setPublicTunnelSubdomain(QStringLiteral("photos"));
    const auto check = [&] {
        store->setErrorMessage(std::nullopt);
        store->setStatusMessage(std::nullopt);
        store->publicLink()->checkPublicTunnelAvailability();
        ASSERT_TRUE(waitUntil([&] { return store->errorMessage() || store->statusMessage(); }, 20s));
    };
    broker.answer(200, R"({"available":false,"reason":"Reserved word."})");
    check();
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Reserved word."));
    broker.answer(200, R"({"available":true,"hostname":"photos.example.net"})");
    check();
    EXPECT_EQ(store->statusMessage(), QStringLiteral("photos.example.net is available."));
    EXPECT_FALSE(readState()->publicTunnel.hostname);
}
