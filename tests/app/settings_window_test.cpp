#include "tests/app/desktop_driver.h"

#include "support/test_support.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace desktop_testing;
using testing_support::waitUntil;

namespace {

QString serverPill(Desktop& desktop) {
    return text(itemIn(item(desktop.settings(), "serverStatusPill"), "statusPillLabel"));
}

QColor serverPillColour(Desktop& desktop) {
    return color(itemIn(item(desktop.settings(), "serverStatusPill"), "statusPillDot"));
}

} // namespace

TEST(SettingsWindow, FixedSizeServerPillPortAppliedOnRestartAndRefresh) {
    const QuarryShareAppState state = stateWith();
    const int port = state.port;
    writeState(state);
    Desktop desktop;
    desktop.openSettings();
    QQuickWindow* settings = desktop.settings();
    EXPECT_EQ(settings->size(), QSize(620, 430));
    EXPECT_EQ(settings->minimumSize(), settings->maximumSize());
    QQuickItem* rail = item(settings, "settingsRail");
    EXPECT_EQ(rail->mapToScene(QPointF()), QPointF(24, 24));
    EXPECT_EQ(rail->height(), 430 - 2 * 24);

    ASSERT_TRUE(desktop.waitForServer());
    EXPECT_EQ(serverPill(desktop), QString("Listening on %1").arg(port));
    EXPECT_EQ(serverPillColour(desktop), QColor("#0E925D"));
    EXPECT_EQ(text(item(settings, "primaryAddressValue")), desktop.store().availableOrigins().first());
    typeInto(item(settings, "portField"), "80");
    leave(item(settings, "portField"));
    EXPECT_EQ(readState()->port, port) << "ports below 1025 are ignored";
    EXPECT_EQ(text(item(settings, "portField")), QString::number(port)) << "the field shows the port kept";
    const int next = freePort();
    typeInto(item(settings, "portField"), " " + QString::number(next));
    EXPECT_EQ(readState()->port, next);
    EXPECT_TRUE(text(item(settings, "primaryAddressValue")).endsWith(QString(":%1/").arg(next)));
    EXPECT_EQ(serverPill(desktop), QString("Listening on %1").arg(port)) << "until restarted";
    click(item(settings, "restartServerButton"));
    EXPECT_TRUE(waitUntil([&] { return serverPill(desktop) == QString("Listening on %1").arg(next); }));
    QTcpSocket visitor;
    visitor.connectToHost(QHostAddress::LocalHost, next);
    EXPECT_TRUE(visitor.waitForConnected(2000));

    writeSyncthingConfig({makeShare(QuarryShareSource::quarry, "Films", "films", false)});
    click(item(settings, "settingsRefreshSpacesButton"));
    EXPECT_TRUE(waitUntil([&] { return find(desktop.main(), "shareRow_films") != nullptr; }));
    EXPECT_TRUE(find(desktop.main(), "spacesSectionHeader"));
}

TEST(SettingsWindow, ServerPillShowsAFailedStartInYellow) {
    const QuarryShareAppState state = stateWith();
    writeState(state);
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, state.port));
    Desktop desktop;
    desktop.openSettings();
    ASSERT_TRUE(waitUntil([&] { return serverPill(desktop) == "Couldn't start"; }));
    EXPECT_EQ(serverPillColour(desktop), QColor("#F4B500"));
    occupant.close();
    EXPECT_TRUE(waitUntil([&] { return serverPill(desktop).startsWith("Listening"); }));
}
