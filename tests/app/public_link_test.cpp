#include "tests/app/desktop_driver.h"
#include "tests/app/fake_tunnel.h"

#include "support/test_support.h"

#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>

using namespace desktop_testing;
using testing_support::waitUntil;

namespace {

const QColor green("#0E925D");
const QColor yellow("#F4B500");
const QColor blue("#277BD6");

// One enabled share; protected unless told otherwise. The broker is the fake one.
QuarryShareAppState linkState(const FakeBroker& broker, bool protectedShare = true) {
    QuarryShareAppState state;
    state.port = freePort();
    QuarryFolderShare docs = makeShare(QuarryShareSource::custom, "Docs", "docs", true);
    if (protectedShare)
        protect(docs, "secret");
    state.shares = {docs};
    state.publicTunnel.brokerURL = broker.url().toString();
    state.publicTunnel.requestedSubdomain = "docs-team";
    return state;
}

auto withCloudflared(const QByteArray& behaviour) {
    return [behaviour](QuarryShareApp& shell) {
        shell.store().tunnelService().setCloudflaredCandidates({writeFakeCloudflared(behaviour)});
    };
}

struct Card {
    QString title, symbol, button, description;
    QColor color;
};

Card publicLinkCard(QQuickWindow* window) {
    return {text(find(window, "publicLinkTitle")), iconOf(find(window, "publicLinkIcon")),
            text(find(window, "publicLinkToggleButton")), text(find(window, "publicLinkDescription")),
            color(find(window, "publicLinkIcon"))};
}

QString pillLabel(QQuickWindow* window, const char* pill) {
    return text(itemIn(item(window, pill), "statusPillLabel"));
}

QColor pillColor(QQuickWindow* window, const char* pill) {
    return color(itemIn(item(window, pill), "statusPillDot"));
}

bool statusIs(Desktop& desktop, const char* name) {
    return waitUntil([&] { return desktop.store().property("publicTunnelStatusName").toString() == name; });
}

} // namespace

TEST(PublicLink, OffWithoutCloudflaredCannotStartAndSaysWhy) {
    withoutSessionBus();
    FakeBroker broker;
    writeState(linkState(broker));
    Desktop desktop;
    desktop.openSettings();
    QQuickWindow* window = desktop.main();
    const Card card = publicLinkCard(window);
    EXPECT_EQ(card.title, "Public link is off");
    EXPECT_EQ(card.symbol, "icloud");
    EXPECT_EQ(card.button, "Turn On");
    EXPECT_EQ(card.description,
              "Pick a brightloom subdomain and tunnel this local Share app through Cloudflare.");
    EXPECT_FALSE(isEnabled(item(window, "publicLinkToggleButton")));
    EXPECT_EQ(text(item(window, "publicLinkRequirementText")),
              "Install or bundle cloudflared before turning on public links.");
    EXPECT_EQ(color(item(window, "publicLinkRequirementText")).hue(), yellow.hue()) << "a yellow message";
    EXPECT_EQ(text(item(window, "publicLinkDomainSuffix")), ".brightloom.app");
    EXPECT_FALSE(find(window, "publicLinkURLRow"));

    EXPECT_EQ(pillLabel(desktop.settings(), "tunnelStatusPill"), "Off");
    EXPECT_EQ(text(item(desktop.settings(), "tunnelToggleButton")), "Turn On Public Link");
    EXPECT_FALSE(isEnabled(item(desktop.settings(), "tunnelToggleButton")));
    EXPECT_EQ(text(item(desktop.settings(), "tunnelRequirementText")),
              "Install or bundle cloudflared before turning on public links.");
    EXPECT_FALSE(find(desktop.settings(), "tunnelURLText"));
    EXPECT_EQ(broker.requestCount, 0);
}

TEST(PublicLink, AnUnprotectedShareKeepsTheLinkOff) {
    withoutSessionBus();
    FakeBroker broker;
    writeState(linkState(broker, false));
    Desktop desktop(withCloudflared("exec sleep 30"));
    EXPECT_FALSE(isEnabled(item(desktop.main(), "publicLinkToggleButton")));
    EXPECT_EQ(text(item(desktop.main(), "publicLinkRequirementText")),
              "Set a password on every enabled space before publishing it to the internet.");
    // Setting the password in the card is what makes the link possible.
    typeInto(item(desktop.main(), "newPasswordField"), "secret");
    typeInto(item(desktop.main(), "confirmPasswordField"), "secret");
    click(item(desktop.main(), "setPasswordButton"));
    EXPECT_TRUE(isEnabled(item(desktop.main(), "publicLinkToggleButton")));
    EXPECT_FALSE(find(desktop.main(), "publicLinkRequirement"));
}

TEST(PublicLink, StartingGoesOnlineThenOffAgain) {
    withoutSessionBus();
    FakeBroker broker;
    broker.reservationAnswer = R"({"hostname":"docs-team.example.net","tunnelID":"t-1","token":"tok"})";
    writeState(linkState(broker));
    Desktop desktop(withCloudflared("exec sleep 30"));
    desktop.openSettings();
    QQuickWindow* window = desktop.main();
    ASSERT_TRUE(isEnabled(item(window, "publicLinkToggleButton")));
    EXPECT_FALSE(find(window, "publicLinkRequirement"));

    click(item(window, "publicLinkToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "running"));
    const Card online = publicLinkCard(window);
    EXPECT_EQ(online.title, "Public link is online");
    EXPECT_EQ(online.symbol, "checkmark.icloud.fill");
    EXPECT_EQ(online.color, green);
    EXPECT_EQ(online.button, "Turn Off");
    EXPECT_EQ(online.description,
              "Anyone with the password can reach this Share app at https://docs-team.example.net/.");
    EXPECT_EQ(text(item(window, "publicLinkDomainSuffix")), ".example.net");
    EXPECT_EQ(text(item(window, "publicLinkShareURL")), "https://docs-team.example.net/docs/");
    QGuiApplication::clipboard()->clear();
    click(item(window, "publicLinkCopyButton"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "https://docs-team.example.net/docs/");
    rightClick(item(window, "shareRow_docs"));
    QQuickItem* copyPublic = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (copyPublic = find(window, "menuCopyPublicURL")) != nullptr; }));
    EXPECT_EQ(text(copyPublic), "Copy Public URL");
    pressKey(window, Qt::Key_Escape);

    EXPECT_EQ(pillLabel(desktop.settings(), "tunnelStatusPill"), "Online");
    EXPECT_EQ(pillColor(desktop.settings(), "tunnelStatusPill"), green);
    EXPECT_EQ(text(item(desktop.settings(), "tunnelURLText")), "https://docs-team.example.net/");
    EXPECT_EQ(text(item(desktop.settings(), "tunnelToggleButton")), "Turn Off Public Link");

    click(item(desktop.settings(), "tunnelToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "stopped"));
    EXPECT_EQ(publicLinkCard(window).title, "Public link is off");
    EXPECT_EQ(publicLinkCard(window).button, "Turn On");
    EXPECT_FALSE(find(window, "publicLinkURLRow")) << "no public URL while the link is off";
    EXPECT_FALSE(readState()->publicTunnel.isEnabled);
    EXPECT_EQ(pillLabel(desktop.settings(), "tunnelStatusPill"), "Off");
}

TEST(PublicLink, ShowsStartingWhileTheBrokerThinks) {
    withoutSessionBus();
    FakeBroker broker;
    broker.silent = true;
    writeState(linkState(broker));
    Desktop desktop(withCloudflared("exec sleep 30"));
    desktop.openSettings();
    click(item(desktop.settings(), "tunnelToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "preparing"));
    const Card card = publicLinkCard(desktop.main());
    EXPECT_EQ(card.title, "Starting public link");
    EXPECT_EQ(card.symbol, "icloud.and.arrow.up");
    EXPECT_EQ(card.color, blue);
    EXPECT_EQ(pillLabel(desktop.settings(), "tunnelStatusPill"), "Starting");
    EXPECT_EQ(pillColor(desktop.settings(), "tunnelStatusPill"), blue);
}

TEST(PublicLink, NeedsAttentionWhenCloudflaredFails) {
    withoutSessionBus();
    FakeBroker broker;
    broker.reservationAnswer = R"({"hostname":"docs-team.example.net","tunnelID":"t-1","token":"tok"})";
    writeState(linkState(broker));
    Desktop desktop(withCloudflared("exit 1"));
    desktop.openSettings();
    click(item(desktop.main(), "publicLinkToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "failed"));
    const Card card = publicLinkCard(desktop.main());
    EXPECT_EQ(card.title, "Public link needs attention");
    EXPECT_EQ(card.symbol, "exclamationmark.icloud.fill");
    EXPECT_EQ(card.color, yellow);
    EXPECT_EQ(card.button, "Turn Off") << "the link stays on until the user turns it off";
    EXPECT_EQ(pillLabel(desktop.settings(), "tunnelStatusPill"), "Needs attention");
    EXPECT_EQ(pillColor(desktop.settings(), "tunnelStatusPill"), yellow);
}

TEST(PublicLink, ALinkThatIsOnButNotRunningIsReconnecting) {
    withoutSessionBus();
    FakeBroker broker;
    QuarryShareAppState state = linkState(broker);
    state.publicTunnel.isEnabled = true; // on when the application last ran; no token to resume with
    state.publicTunnel.hostname = "docs-team.example.net";
    writeState(state);
    Desktop desktop(withCloudflared("exec sleep 30"));
    ASSERT_TRUE(desktop.waitForServer());
    const Card card = publicLinkCard(desktop.main());
    EXPECT_EQ(card.title, "Public link is reconnecting");
    EXPECT_EQ(card.symbol, "icloud");
    EXPECT_EQ(card.button, "Turn Off");
    EXPECT_TRUE(isEnabled(item(desktop.main(), "publicLinkToggleButton")));
    EXPECT_EQ(text(item(desktop.main(), "publicLinkShareURL")), "https://docs-team.example.net/docs/");
}

TEST(PublicLink, SubdomainAndChecksGoThroughTheStore) {
    withoutSessionBus();
    FakeBroker broker;
    broker.availabilityAnswer = R"({"available":false})";
    writeState(linkState(broker));
    Desktop desktop;
    desktop.openSettings();
    QQuickItem* field = item(desktop.main(), "publicLinkSubdomainField");
    EXPECT_EQ(text(field), "docs-team");
    typeInto(field, "My Site");
    EXPECT_EQ(readState()->publicTunnel.requestedSubdomain, "my-site");
    leave(field);
    EXPECT_EQ(text(field), "my-site");
    EXPECT_EQ(text(item(desktop.settings(), "tunnelSubdomainField")), "my-site") << "one value, two fields";

    click(item(desktop.main(), "publicLinkCheckButton"));
    QQuickItem* alert = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (alert = find(desktop.main(), "errorAlert")) != nullptr; }));
    EXPECT_EQ(text(itemIn(alert, "errorAlertMessage")), "my-site is not available.");
    click(itemIn(alert, "errorAlertOKButton"));
    EXPECT_EQ(broker.requestCount, 1);

    typeInto(item(desktop.settings(), "brokerURLField"), "  not a url  ");
    EXPECT_EQ(readState()->publicTunnel.brokerURL, "not a url");
    click(item(desktop.settings(), "checkAvailabilityButton"));
    ASSERT_TRUE(waitUntil([&] { return find(desktop.main(), "errorAlert") != nullptr; }));
    EXPECT_TRUE(waitUntil([&] { return desktop.main()->isActive(); })) << "the alert comes to the front";
    EXPECT_EQ(text(item(desktop.main(), "errorAlertMessage")), "Enter a valid tunnel broker URL.");
    EXPECT_EQ(broker.requestCount, 1);
}
