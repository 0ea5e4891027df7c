#include "tests/app/desktop_driver.h"

#include "support/test_support.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace desktop_testing;
using testing_support::waitUntil;

namespace {

QString pillLabel(QQuickWindow* window, const char* pill) {
    return text(itemIn(item(window, pill), "statusPillLabel"));
}

QColor pillColor(QQuickWindow* window, const char* pill) {
    return color(itemIn(item(window, pill), "statusPillDot"));
}

bool listensOn(int port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

} // namespace

TEST(SettingsWindow, IsFixedInSizeAndListsEverySection) {
    QuarryShareAppState state;
    state.port = freePort();
    writeState(state);
    Desktop desktop;
    desktop.openSettings();
    QQuickWindow* settings = desktop.settings();
    EXPECT_EQ(settings->size(), QSize(620, 430));
    EXPECT_EQ(settings->minimumSize(), QSize(620, 430));
    EXPECT_EQ(settings->maximumSize(), QSize(620, 430));
    EXPECT_EQ(text(item(settings, "settingsRailTitle")), "Settings");
    EXPECT_EQ(text(itemIn(item(settings, "generalRailButton"), "railTitle")), "General");
    EXPECT_EQ(iconOf(itemIn(item(settings, "generalRailButton"), "railIcon")), "switch.2");
    EXPECT_EQ(text(item(settings, "settingsHeaderTitle")), "brightloom Share");
    EXPECT_EQ(text(item(settings, "settingsHeaderSubtitle")), "Read-only web sharing for local spaces.");
    QStringList cards;
    for (const char* name : {"appearanceCard", "webServerCard", "tunnelCard"})
        cards.append(text(itemIn(item(settings, name), "cardTitle")));
    EXPECT_EQ(cards, QStringList({"Appearance", "Web Server", "Cloudflare Tunnel"}));
    QStringList modes;
    for (const char* name : {"appearanceButton_dark", "appearanceButton_light", "appearanceButton_system"})
        modes.append(text(item(settings, name)));
    EXPECT_EQ(modes, QStringList({"Dark Mode", "Light Mode", "Follow System"}));
    EXPECT_EQ(
        text(item(settings, "webServerNote")),
        "Use passwords per space when a local browser link should not be open to everyone on the network.");

    // The content keeps its padding inside the fixed window.
    const QRectF rail = item(settings, "settingsRail")
                            ->mapRectToScene(QRectF(QPointF(), item(settings, "settingsRail")->size()));
    EXPECT_EQ(rail.left(), 24);
    EXPECT_EQ(rail.top(), 24);
    EXPECT_EQ(rail.width(), 166);
}

TEST(SettingsWindow, ServerPillFollowsTheServerAndThePortAppliesOnRestart) {
    const int port = freePort();
    QuarryShareAppState state;
    state.port = port;
    writeState(state);
    Desktop desktop;
    desktop.openSettings();
    QQuickWindow* settings = desktop.settings();
    ASSERT_TRUE(desktop.waitForServer());
    EXPECT_EQ(pillLabel(settings, "serverStatusPill"), QString("Listening on %1").arg(port));
    EXPECT_EQ(pillColor(settings, "serverStatusPill"), QColor("#0E925D"));
    EXPECT_EQ(text(item(settings, "primaryAddressValue")), desktop.store().availableOrigins().first());
    EXPECT_EQ(text(item(settings, "portField")), QString::number(port));

    // Ports below 1025 are ignored; a good one is stored at once and used after a restart.
    typeInto(item(settings, "portField"), "80");
    EXPECT_EQ(readState()->port, port);
    leave(item(settings, "portField"));
    EXPECT_EQ(text(item(settings, "portField")), QString::number(port)) << "the field shows the port kept";
    const int next = freePort();
    typeInto(item(settings, "portField"), " " + QString::number(next));
    EXPECT_EQ(readState()->port, next);
    EXPECT_TRUE(text(item(settings, "primaryAddressValue")).endsWith(QString(":%1/").arg(next)));
    EXPECT_EQ(pillLabel(settings, "serverStatusPill"), QString("Listening on %1").arg(port))
        << "until restarted";
    click(item(settings, "restartServerButton"));
    EXPECT_TRUE(waitUntil(
        [&] { return pillLabel(settings, "serverStatusPill") == QString("Listening on %1").arg(next); }));
    EXPECT_TRUE(listensOn(next));
}

TEST(SettingsWindow, ServerPillShowsAFailedStartInYellow) {
    const int port = freePort();
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, port));
    QuarryShareAppState state;
    state.port = port;
    writeState(state);
    Desktop desktop;
    desktop.openSettings();
    ASSERT_TRUE(
        waitUntil([&] { return pillLabel(desktop.settings(), "serverStatusPill") == "Couldn't start"; }));
    EXPECT_EQ(pillColor(desktop.settings(), "serverStatusPill"), QColor("#F4B500"));
    occupant.close();
    EXPECT_TRUE(
        waitUntil([&] { return pillLabel(desktop.settings(), "serverStatusPill").startsWith("Listening"); }));
}

TEST(SettingsWindow, RefreshSpacesAndTheBrokerFieldWriteThrough) {
    QuarryShareAppState state;
    state.port = freePort();
    writeState(state);
    Desktop desktop;
    desktop.openSettings();
    QuarryFolderShare films = makeShare(QuarryShareSource::quarry, "Films", "films", false);
    writeSyncthingConfig({films});
    click(item(desktop.settings(), "settingsRefreshSpacesButton"));
    EXPECT_TRUE(waitUntil([&] { return find(desktop.main(), "shareRow_films") != nullptr; }));
    EXPECT_TRUE(find(desktop.main(), "spacesSectionHeader"));

    EXPECT_EQ(text(item(desktop.settings(), "brokerURLField")), "https://broker.brightloom.app");
    typeInto(item(desktop.settings(), "brokerURLField"), "https://broker.example.org ");
    EXPECT_EQ(readState()->publicTunnel.brokerURL, "https://broker.example.org");
    typeInto(item(desktop.settings(), "tunnelSubdomainField"), "Team Files");
    leave(item(desktop.settings(), "tunnelSubdomainField"));
    EXPECT_EQ(readState()->publicTunnel.requestedSubdomain, "team-files");
    EXPECT_EQ(text(item(desktop.main(), "publicLinkSubdomainField")), "team-files");
}
