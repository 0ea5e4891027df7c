#include "tests/app/desktop_driver.h"

#include "support/fake_broker.h"
#include "support/fake_cloudflared.h"
#include "support/test_support.h"

#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>

using namespace desktop_testing;
using testing_support::FakeBroker;
using testing_support::waitUntil;

namespace {

const QColor green("#0E925D");
const QColor yellow("#F4B500");
const QColor blue("#277BD6");
constexpr char reservation[] = R"({"hostname":"docs-team.example.net","tunnelID":"t-1","token":"tok"})";

// One enabled share, protected unless told otherwise, and the fake broker. Secrets go to the private
// file in the sandbox: no session bus is reachable.
QuarryShareAppState linkState(const FakeBroker& broker, bool protectedShare = true) {
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + testing_support::sandboxRoot().toUtf8() + "/no-bus");
    QuarryShareAppState state = stateWith({makeShare(QuarryShareSource::custom, "Docs", "docs", true)});
    if (protectedShare)
        protect(state.shares[0], "secret");
    state.publicTunnel.brokerURL = broker.url(QString()).toString();
    state.publicTunnel.requestedSubdomain = "docs-team";
    return state;
}

auto withCloudflared(const QByteArray& behaviour) {
    return [behaviour](QuarryShareApp& shell) {
        shell.store().tunnelService().setCloudflaredCandidates(
            {testing_support::writeFakeCloudflared(testing_support::sandboxRoot() + "/bin", behaviour)});
    };
}

// The card's title, icon and button, and the settings window's pill, as one line.
QString linkShown(Desktop& desktop) {
    QQuickItem* pill = find(desktop.settings(), "tunnelStatusPill");
    return text(find(desktop.main(), "publicLinkTitle")) + " | " +
           iconOf(find(desktop.main(), "publicLinkIcon")) + " | " +
           text(find(desktop.main(), "publicLinkToggleButton")) + " | " +
           (pill ? text(findIn(pill, "statusPillLabel")) : "<no pill>");
}

void expectColour(Desktop& desktop, const QColor& colour) {
    EXPECT_EQ(color(item(desktop.main(), "publicLinkIcon")), colour);
    EXPECT_EQ(color(itemIn(item(desktop.settings(), "tunnelStatusPill"), "statusPillDot")), colour);
}

bool statusIs(Desktop& desktop, const char* name) {
    return waitUntil([&] { return desktop.store().property("publicTunnelStatusName").toString() == name; });
}

} // namespace

TEST(PublicLink, OffWithoutCloudflaredSaysWhyWhileSubdomainAndChecksWorkFromBothWindows) {
    FakeBroker broker;
    broker.answerFor("api/tunnels/availability", 200, R"({"available":false})");
    writeState(linkState(broker));
    Desktop desktop;
    desktop.openSettings();
    QQuickWindow* window = desktop.main();
    EXPECT_EQ(linkShown(desktop), "Public link is off | icloud | Turn On | Off");
    const QString why = "Install or bundle cloudflared before turning on public links.";
    EXPECT_FALSE(isEnabled(item(window, "publicLinkToggleButton")));
    EXPECT_EQ(text(item(window, "publicLinkRequirementText")), why);
    EXPECT_EQ(color(item(window, "publicLinkRequirementText")).hue(), yellow.hue());
    EXPECT_FALSE(isEnabled(item(desktop.settings(), "tunnelToggleButton")));
    EXPECT_EQ(text(item(desktop.settings(), "tunnelRequirementText")), why);
    EXPECT_EQ(text(item(window, "publicLinkDomainSuffix")), ".brightloom.app");

    QQuickItem* field = item(window, "publicLinkSubdomainField");
    typeInto(field, "My Site");
    EXPECT_EQ(readState()->publicTunnel.requestedSubdomain, "my-site");
    leave(field);
    EXPECT_EQ(text(field), "my-site");
    EXPECT_EQ(text(item(desktop.settings(), "tunnelSubdomainField")), "my-site") << "one value, two fields";
    click(item(window, "publicLinkCheckButton"));
    ASSERT_TRUE(waitUntil([&] { return find(window, "errorAlert") != nullptr; }));
    EXPECT_EQ(text(item(window, "errorAlertMessage")), "my-site is not available.");
    click(item(window, "errorAlertOKButton"));

    typeInto(item(desktop.settings(), "tunnelSubdomainField"), "Team Files");
    leave(item(desktop.settings(), "tunnelSubdomainField"));
    EXPECT_EQ(text(field), "team-files");
    typeInto(item(desktop.settings(), "brokerURLField"), "  not a url  ");
    EXPECT_EQ(readState()->publicTunnel.brokerURL, "not a url");
    click(item(desktop.settings(), "checkAvailabilityButton"));
    ASSERT_TRUE(waitUntil([&] { return find(window, "errorAlert") != nullptr; }));
    EXPECT_EQ(text(item(window, "errorAlertMessage")), "Enter a valid tunnel broker URL.");
    EXPECT_TRUE(waitUntil([&] { return window->isActive(); })) << "the alert comes to the front";
    EXPECT_EQ(broker.requests.size(), 1);
}

TEST(PublicLink, AnUnprotectedShareWaitsForAPasswordThenTheLinkGoesOnlineAndOffAgain) {
    FakeBroker broker;
    broker.answerFor("api/tunnels/reserve", 200, reservation);
    writeState(linkState(broker, false));
    Desktop desktop(withCloudflared("exec sleep 30"));
    QQuickWindow* window = desktop.main();
    EXPECT_FALSE(isEnabled(item(window, "publicLinkToggleButton")));
    EXPECT_EQ(text(item(window, "publicLinkRequirementText")),
              "Set a password on every enabled space before publishing it to the internet.");
    typeInto(item(window, "newPasswordField"), "secret");
    typeInto(item(window, "confirmPasswordField"), "secret");
    click(item(window, "setPasswordButton"));
    EXPECT_FALSE(find(window, "publicLinkRequirement"));

    desktop.openSettings();
    click(item(window, "publicLinkToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "running"));
    EXPECT_EQ(linkShown(desktop), "Public link is online | checkmark.icloud.fill | Turn Off | Online");
    expectColour(desktop, green);
    EXPECT_EQ(text(item(window, "publicLinkDescription")),
              "Anyone with the password can reach this Share app at https://docs-team.example.net/.");
    EXPECT_EQ(text(item(window, "publicLinkDomainSuffix")), ".example.net");
    EXPECT_EQ(text(item(desktop.settings(), "tunnelURLText")), "https://docs-team.example.net/");
    EXPECT_EQ(text(item(desktop.settings(), "tunnelToggleButton")), "Turn Off Public Link");
    QGuiApplication::clipboard()->clear();
    click(item(window, "publicLinkCopyButton"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "https://docs-team.example.net/docs/");
    click(item(window, "shareRow_docs"), Qt::RightButton);
    EXPECT_TRUE(waitUntil([&] { return find(window, "menuCopyPublicURL") != nullptr; }));
    pressKey(window, Qt::Key_Escape);

    click(item(desktop.settings(), "tunnelToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "stopped"));
    EXPECT_EQ(linkShown(desktop), "Public link is off | icloud | Turn On | Off");
    EXPECT_FALSE(find(window, "publicLinkURLRow")) << "no public URL while the link is off";
    EXPECT_FALSE(readState()->publicTunnel.isEnabled);
}

TEST(PublicLink, ShowsStartingNeedsAttentionAndReconnecting) {
    {
        FakeBroker broker;
        broker.silent = true; // the reservation never comes back
        writeState(linkState(broker));
        Desktop desktop(withCloudflared("exec sleep 30"));
        desktop.openSettings();
        click(item(desktop.settings(), "tunnelToggleButton"));
        ASSERT_TRUE(statusIs(desktop, "preparing"));
        EXPECT_EQ(linkShown(desktop), "Starting public link | icloud.and.arrow.up | Turn On | Starting");
        expectColour(desktop, blue);
    }
    {
        FakeBroker broker;
        broker.answerFor("api/tunnels/reserve", 200, reservation);
        writeState(linkState(broker));
        Desktop desktop(withCloudflared("exit 1"));
        desktop.openSettings();
        click(item(desktop.main(), "publicLinkToggleButton"));
        ASSERT_TRUE(statusIs(desktop, "failed"));
        EXPECT_EQ(linkShown(desktop),
                  "Public link needs attention | exclamationmark.icloud.fill | Turn Off | Needs attention");
        expectColour(desktop, yellow);
    }
    FakeBroker broker;
    QuarryShareAppState state = linkState(broker);
    state.publicTunnel.isEnabled = true; // on when the application last ran, but no token to resume with
    state.publicTunnel.hostname = "docs-team.example.net";
    writeState(state);
    Desktop desktop(withCloudflared("exec sleep 30"));
    desktop.openSettings();
    ASSERT_TRUE(desktop.waitForServer());
    EXPECT_EQ(linkShown(desktop), "Public link is reconnecting | icloud | Turn Off | Off");
    EXPECT_TRUE(isEnabled(item(desktop.main(), "publicLinkToggleButton")));
    EXPECT_EQ(text(item(desktop.main(), "publicLinkShareURL")), "https://docs-team.example.net/docs/");
}
