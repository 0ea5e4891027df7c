#include "desktop_driver.h"

#include "support/fake_broker.h"
#include "support/fake_cloudflared.h"
#include "support/test_support.h"

#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>

using namespace app_testing;
using testing_support::FakeBroker;
using testing_support::waitUntil;

namespace {

constexpr char reservation[] = R"({"hostname":"docs-team.example.net","tunnelID":"t-1","token":"tok"})";

// One enabled share, protected unless told otherwise, and the fake broker.
QuarryShareAppState linkState(const FakeBroker& broker, bool protectedShare = true) {
    QuarryShareAppState state = stateWith(
        {makeShare({.slug = "docs",
                    .name = "Docs",
                    .password = protectedShare ? std::optional<QString>("secret") : std::nullopt})});
    state.publicTunnel.brokerURL = broker.url(QString()).toString();
    state.publicTunnel.requestedSubdomain = "docs-team";
    return state;
}

// Where the desktop looks for cloudflared.
void fakeCloudflared(const QByteArray& behaviour) {
    testing_support::writeFakeCloudflared(testing_support::sandboxRoot() + "/bin", behaviour);
}

// The card's title, icon with its colour and button, and the settings window's pill, as one line;
// the pill's dot wears the icon's colour.
QString linkShown(Desktop& desktop) {
    QQuickItem* icon = find(desktop.main(), "publicLinkIcon");
    QQuickItem* pill = find(desktop.settings(), "tunnelStatusPill");
    const QString colour = text(icon, "color"), dot = text(find(pill, "statusPillDot"), "color");
    return text(find(desktop.main(), "publicLinkTitle")) + " | " + text(icon, "symbol") + " " + colour +
           " | " + text(find(desktop.main(), "publicLinkToggleButton")) + " | " +
           (pill ? text(find(pill, "statusPillLabel")) : "<no pill>") + (dot == colour ? "" : " " + dot);
}

bool statusIs(Desktop& desktop, const char* name) {
    return waitUntil([&] { return desktop.store().publicLink()->publicTunnelStatus().name() == name; });
}

} // namespace

TEST(PublicLink, ReconnectingThenOffWithoutCloudflaredSaysWhyWhileSubdomainAndChecksWorkFromBothWindows) {
    const NoSessionBus noBus;
    FakeBroker broker;
    broker.answerFor("api/tunnels/availability", 200, R"({"available":false})");
    QuarryShareAppState state = linkState(broker);
    state.publicTunnel.isEnabled = true; // on when the application last ran, but no token to resume with
    state.publicTunnel.hostname = "docs-team.example.net";
    writeState(state);
    Desktop desktop;
    desktop.openSettings();
    QQuickWindow* window = desktop.main();
    ASSERT_TRUE(desktop.waitForServer());
    EXPECT_EQ(linkShown(desktop), "Public link is reconnecting | icloud #a3a5ad | Turn Off | Off");
    EXPECT_EQ(text(item(window, "publicLinkShareURL")), "https://docs-team.example.net/docs/");
    click(item(window, "publicLinkToggleButton"));
    EXPECT_EQ(linkShown(desktop), "Public link is off | icloud #a3a5ad | Turn On | Off");
    const QString why = "Install or bundle cloudflared before turning on public links.";
    EXPECT_FALSE(isEnabled(item(window, "publicLinkToggleButton")));
    EXPECT_EQ(text(item(window, "publicLinkRequirementText")), why);
    EXPECT_FALSE(isEnabled(item(desktop.settings(), "tunnelToggleButton")));
    EXPECT_EQ(text(item(desktop.settings(), "tunnelRequirementText")), why);

    // Typing saves nothing; the edit ends, and is saved once, when a button takes the focus.
    QQuickItem* field = item(window, "publicLinkSubdomainField");
    StateWrites writes;
    typeInto(field, "Team Reports");
    EXPECT_EQ(text(field), "Team Reports") << "blanks survive while typing";
    EXPECT_EQ(writes.count(), 0);
    click(item(window, "publicLinkCheckButton"));
    EXPECT_EQ(writes.count(), 1);
    EXPECT_EQ(readState()->publicTunnel.requestedSubdomain, "team-reports");
    EXPECT_EQ(text(field), "team-reports");
    EXPECT_EQ(text(item(desktop.settings(), "tunnelSubdomainField")), "team-reports")
        << "one value, two fields";
    ASSERT_TRUE(waitUntil([&] { return find(window, "errorAlert") != nullptr; }));
    EXPECT_EQ(text(item(window, "errorAlertMessage")), "team-reports is not available.");
    click(item(window, "errorAlertOKButton"));

    typeInto(item(desktop.settings(), "brokerURLField"), "  not a url  ");
    click(item(desktop.settings(), "checkAvailabilityButton"));
    EXPECT_EQ(readState()->publicTunnel.brokerURL, "not a url");
    ASSERT_TRUE(waitUntil([&] { return find(window, "errorAlert") != nullptr; }));
    EXPECT_EQ(text(item(window, "errorAlertMessage")), "Enter a valid tunnel broker URL.");
    EXPECT_TRUE(waitUntil([&] { return window->isActive(); })) << "the alert comes to the front";
    EXPECT_EQ(broker.requests.size(), 1);
}

TEST(PublicLink, AnUnprotectedShareWaitsForAPasswordThenTheLinkGoesOnlineOffFailsAndStarts) {
    const NoSessionBus noBus;
    FakeBroker broker;
    broker.answerFor("api/tunnels/reserve", 200, reservation);
    writeState(linkState(broker, false));
    fakeCloudflared("exec sleep 30");
    Desktop desktop;
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
    EXPECT_EQ(linkShown(desktop),
              "Public link is online | checkmark.icloud.fill #0e925d | Turn Off | Online");
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
    EXPECT_EQ(linkShown(desktop), "Public link is off | icloud #a3a5ad | Turn On | Off");
    EXPECT_FALSE(find(window, "publicLinkURLRow")) << "no public URL while the link is off";
    EXPECT_FALSE(readState()->publicTunnel.isEnabled);

    fakeCloudflared("exit 1");
    click(item(window, "publicLinkToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "failed"));
    EXPECT_EQ(
        linkShown(desktop),
        "Public link needs attention | exclamationmark.icloud.fill #f4b500 | Turn Off | Needs attention");
    click(item(desktop.settings(), "tunnelToggleButton"));
    broker.silent = true; // the next reservation never comes back
    click(item(desktop.settings(), "tunnelToggleButton"));
    ASSERT_TRUE(statusIs(desktop, "preparing"));
    EXPECT_EQ(linkShown(desktop), "Starting public link | icloud.and.arrow.up #277bd6 | Turn On | Starting");
}
