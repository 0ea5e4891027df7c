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

    std::unique_ptr<QuarryShareStore> makeStore() {
        QuarryShareStoreEnvironment environment;
        environment.computerName = [] { return QStringLiteral("Studio Mac"); };
        auto store = std::make_unique<QuarryShareStore>(environment);
        store->tunnelService().setCloudflaredCandidates(
            {testing_support::writeFakeCloudflared(m_programs.path(), "exec sleep 60")});
        return store;
    }

    static void startAndWait(QuarryShareStore& store) {
        bool finished = false;
        store.startPublicTunnel([&] { finished = true; });
        ASSERT_TRUE(waitUntil([&] { return finished; }, 20s));
    }

    // The start failed with `message` everywhere the user and the next launch look; then cleared.
    static void expectFailure(QuarryShareStore& store, const QString& message) {
        testing_support::spin(100ms); // reports issued before the failure must not replace it
        EXPECT_EQ(store.publicTunnelStatus(), Status::failed(message));
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
    auto store = makeStore();
    store->tunnelService().setCloudflaredCandidates({});
    EXPECT_FALSE(store->publicTunnelCanStart());
    EXPECT_EQ(store->publicTunnelRequirementMessage(),
              QStringLiteral("Install or bundle cloudflared before turning on public links."));
    store = makeStore();
    EXPECT_EQ(store->publicTunnelRequirementMessage(),
              QStringLiteral("Turn on at least one space before publishing a public link."));
    store->toggleShare(open.id, true);
    const QString passwordRule =
        QStringLiteral("Set a password on every enabled space before publishing it to the internet.");
    EXPECT_EQ(store->publicTunnelRequirementMessage(), passwordRule);
    const QByteArray before = encodeAppState(store->appState());
    startAndWait(*store);
    EXPECT_EQ(store->errorMessage(), passwordRule);
    EXPECT_EQ(store->publicTunnelStatus(), Status::stopped());
    EXPECT_EQ(encodeAppState(store->appState()), before);
    store->setPassword(open.id, QStringLiteral("pw"));
    EXPECT_TRUE(store->publicTunnelCanStart());
    EXPECT_FALSE(store->publicTunnelRequirementMessage());
    ASSERT_TRUE(waitForRunning(*store)); // its report clears the error shown so far

    store->setPublicTunnelBrokerURL(QStringLiteral("  "));
    startAndWait(*store);
    expectFailure(*store, QStringLiteral("Enter a valid tunnel broker URL."));
    EXPECT_TRUE(broker.requests.isEmpty());

    store->setPublicTunnelBrokerURL(broker.url(QStringLiteral("/")).toString());
    broker.answer(409, R"({"error":"That subdomain is taken."})");
    startAndWait(*store);
    expectFailure(*store, QStringLiteral("That subdomain is taken."));
    EXPECT_FALSE(readState()->publicTunnel.isEnabled);

    // cloudflared cannot be launched: the reservation stays saved and the link stays wanted.
    const QString broken = testing_support::sandboxRoot() + QStringLiteral("/broken/cloudflared");
    testing_support::writeFile(broken, "#!/nonexistent/interpreter\n");
    QFile::setPermissions(broken, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    store->tunnelService().setCloudflaredCandidates({broken});
    broker.answer(200, kReservation);
    startAndWait(*store);
    ASSERT_FALSE(store->errorMessage().value_or(QString()).isEmpty());
    expectFailure(*store, store->publicTunnelStatus().text);
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
            return store->publicTunnelStatus() == Status::running(QStringLiteral("studio-mac.example.net"));
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
        EXPECT_EQ(*QuarryShareKeychain::read(store->tunnelTokenAccount()), QStringLiteral("tok-secret"));
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
        ASSERT_TRUE(waitUntil([&] { return store->publicTunnelStatus().kind == Status::Kind::running; }));
        EXPECT_EQ(broker.requests.size(), 1);

        // Turning it off stops the child and keeps the host name for later.
        store->stopPublicTunnel();
        EXPECT_EQ(store->statusMessage(), QStringLiteral("Public link is off."));
        EXPECT_FALSE(readState()->publicTunnel.isEnabled);
        EXPECT_EQ(readState()->publicTunnel.hostname, QStringLiteral("studio-mac.example.net"));
        ASSERT_TRUE(waitUntil([&] { return ::kill(testing_support::pidOf(launches()[1]), 0) != 0; }));
        testing_support::spin(200ms);
        EXPECT_EQ(store->publicTunnelStatus(), Status::stopped());
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
    EXPECT_EQ(store->publicTunnelStatus(), Status::stopped());
    EXPECT_FALSE(store->errorMessage());
}

TEST_F(StorePublicLink, AvailabilityChecksReportWithoutStoringAnything) {
    writeStateWith();
    auto store = makeStore();
    store->setPublicTunnelSubdomain(QStringLiteral("photos"));
    const auto check = [&] {
        bool finished = false;
        store->checkPublicTunnelAvailability([&] { finished = true; });
        ASSERT_TRUE(waitUntil([&] { return finished; }, 20s));
    };
    broker.answer(200, R"({"available":false,"reason":"Reserved word."})");
    check();
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Reserved word."));
    broker.answer(200, R"({"available":true,"hostname":"photos.example.net"})");
    check();
    EXPECT_EQ(store->statusMessage(), QStringLiteral("photos.example.net is available."));
    EXPECT_FALSE(readState()->publicTunnel.hostname);
}
