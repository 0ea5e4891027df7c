#include "app_process.h"
#include "desktop_driver.h"

#include "support/store_doubles.h"
#include "support/test_support.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace app_testing;
using testing_support::waitUntil;

namespace {

// Opens a row's context menu and lists the items it offers.
QStringList menuOf(QQuickWindow* window, const QString& slug) {
    click(item(window, "shareRow_" + slug), Qt::RightButton);
    waitUntil([&] { return find(window, "shareContextMenu") != nullptr; });
    QStringList texts;
    for (const char* name :
         {"menuCopyURL", "menuCopyPublicURL", "menuToggle", "menuRemovePassword", "menuRemove"})
        if (QQuickItem* entry = find(window, name))
            texts.append(text(entry));
    return texts;
}

QString rowDetail(QQuickWindow* window, const QString& slug) {
    QQuickItem* row = find(window, "shareRow_" + slug);
    return row ? text(find(row, "shareRowDetail")) : QString();
}

} // namespace

TEST(MainWindow, TheEmptyStateGivesWayToAnAddedFolderAndComesBackWhenItIsRemoved) {
    writeState(stateWith());
    ScriptedFolderChooser chooser;
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    EXPECT_FALSE(find(window, "spacesSectionHeader"));
    EXPECT_EQ(text(item(window, "emptyStateTitle")), "No spaces yet");
    EXPECT_FALSE(find(window, "headerCard"));
    EXPECT_EQ(window->findChild<QObject*>("folderDialog")->property("acceptLabel").toString(), "Add Folder");

    desktop.store().setFolderChooser(&chooser);
    click(item(window, "addFolderButton"));
    EXPECT_TRUE(readState()->shares.isEmpty()) << "cancelling adds nothing";
    chooser.answer = makeFolder("Recipes");
    click(item(window, "addFolderButton"));
    ASSERT_TRUE(waitUntil([&] { return rowDetail(window, "recipes") == "Off"; })) << "added switched off";
    EXPECT_EQ(text(item(item(window, "headerCard"), "cardTitle")), "Recipes");
    EXPECT_EQ(readState()->shares.value(0).path, *chooser.answer);

    menuOf(window, "recipes");
    click(item(window, "menuRemove"));
    EXPECT_TRUE(waitUntil([&] { return find(window, "emptyStateTitle") != nullptr; }));
    EXPECT_TRUE(readState()->shares.isEmpty());
}

// A Syncthing space that is on, one that is off, and a protected folder added by hand: their rows,
// menus and cards, and each control acting on them.
TEST(MainWindow, RowsMenusAndCardsShowEachShareAndActOnIt) {
    enum { photos, music, notes }; // their places in the state document
    QuarryShareAppState state =
        stateWith({spaceShare("photos", "Photos"), spaceShare("music", "Music", false),
                   makeShare({.slug = "notes", .name = "Notes", .password = "letmein"})});
    writeState(state);
    writeSyncthingConfig({state.shares[photos], state.shares[music]});
    const auto stored = [](int index) { return readState()->shares.value(index); };
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    const QString origin = desktop.store().server()->availableOrigins().first();
    EXPECT_EQ(rowDetail(window, "music"), "Off");
    EXPECT_EQ(rowDetail(window, "photos"), "/photos");
    EXPECT_FALSE(find(item(window, "shareRow_photos"), "shareRowLock"));
    EXPECT_TRUE(find(item(window, "shareRow_notes"), "shareRowLock"));

    click(item(window, "shareRow_music"));
    EXPECT_EQ(text(item(item(window, "headerCard"), "cardTitle")), "Music");
    EXPECT_EQ(text(item(window, "headerSourceTitle")), "From brightloom");
    EXPECT_EQ(text(item(window, "headerURL")), origin + "music/");
    EXPECT_FALSE(find(window, "headerPasswordLabel"));
    EXPECT_FALSE(find(window, "removeFolderButton")) << "spaces come and go with Syncthing";
    EXPECT_EQ(menuOf(window, "music"), QStringList({"Copy URL", "Turn On"})) << "a space cannot be removed";
    click(item(window, "menuToggle"));
    EXPECT_TRUE(stored(music).isEnabled);
    EXPECT_TRUE(waitUntil([&] { return rowDetail(window, "music") == "/music"; }));

    QQuickItem* photosRow = item(window, "shareRow_photos");
    QQuickItem* slug = item(window, "slugField");
    typeInto(slug, "My Photos!");
    EXPECT_EQ(text(slug), "My Photos!") << "blanks survive while typing";
    EXPECT_EQ(stored(music).urlSlug, "music") << "nothing is stored while typing";
    pressKey(window, Qt::Key_Tab);
    EXPECT_EQ(stored(music).urlSlug, "my-photos") << "the edit is stored when it ends";
    EXPECT_EQ(text(slug), "my-photos");
    QGuiApplication::clipboard()->clear();
    click(item(window, "copyURLButton"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), origin + "my-photos/");
    click(item(window, "sharedSwitch"));
    EXPECT_FALSE(stored(music).isEnabled);
    EXPECT_FALSE(isEnabled(item(window, "copyURLButton"))) << "an off share has no URL to copy";

    // Another share selected mid-edit ends the edit, then shows that share's slug.
    typeInto(slug, "half typed");
    click(item(window, "shareRow_notes"));
    EXPECT_EQ(stored(music).urlSlug, "half-typed");
    EXPECT_EQ(text(item(window, "slugField")), "notes");
    EXPECT_EQ(find(window, "shareRow_photos"), photosRow) << "another share's row is kept, not rebuilt";
    EXPECT_EQ(text(item(window, "headerSourceTitle")), "Custom Folder");
    EXPECT_TRUE(find(window, "headerPasswordLabel"));
    EXPECT_EQ(menuOf(window, "notes"), QStringList({"Copy URL", "Turn Off", "Remove Password", "Remove"}));
    click(item(window, "menuCopyURL"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), origin + "notes/");
    menuOf(window, "notes");
    click(item(window, "menuRemovePassword"));
    EXPECT_FALSE(stored(notes).isPasswordProtected());
    click(item(window, "removeFolderButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(window, "shareRow_notes"); }));

    // The password card: mismatched passwords are reported and change nothing.
    const auto typed = [&] {
        return text(item(window, "newPasswordField")) + "|" + text(item(window, "confirmPasswordField"));
    };
    click(item(window, "shareRow_photos"));
    EXPECT_EQ(text(item(window, "passwordStateTitle")), "Open link");
    EXPECT_FALSE(find(window, "removePasswordButton"));
    typeInto(item(window, "newPasswordField"), "sunflower");
    EXPECT_FALSE(isEnabled(item(window, "setPasswordButton"))) << "both fields are needed";
    typeInto(item(window, "confirmPasswordField"), "sunflowers");
    click(item(window, "setPasswordButton"));
    QQuickItem* alert = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (alert = find(window, "errorAlert")) != nullptr; }));
    EXPECT_EQ(text(item(alert, "errorAlertMessage")), "The passwords do not match.");
    EXPECT_FALSE(stored(photos).isPasswordProtected());
    EXPECT_EQ(typed(), "sunflower|sunflowers") << "the typed passwords stay";
    click(item(alert, "errorAlertOKButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(window, "errorAlert"); }));

    typeInto(item(window, "confirmPasswordField"), "sunflower");
    click(item(window, "setPasswordButton"));
    EXPECT_TRUE(stored(photos).isPasswordProtected());
    EXPECT_EQ(typed(), "|");
    EXPECT_EQ(text(item(window, "passwordStateTitle")), "Password required");
    const QString firstSalt = stored(photos).passwordSalt.value_or("");
    typeInto(item(window, "newPasswordField"), "tulip");
    typeInto(item(window, "confirmPasswordField"), "tulip");
    EXPECT_EQ(text(item(window, "setPasswordButton")), "Change Password");
    pressKey(window, Qt::Key_Return);
    EXPECT_NE(stored(photos).passwordSalt.value_or(""), firstSalt) << "Return changes it too";
    click(item(window, "removePasswordButton"));
    EXPECT_FALSE(stored(photos).isPasswordProtected());

    // The end picker: a quick choice counts from now and the card says when; a typed end is kept as the
    // local time it names; Clear removes it.
    reveal(item(window, "availableFor_86400"));
    click(item(window, "availableFor_86400"));
    ASSERT_TRUE(stored(photos).availableUntil);
    EXPECT_NEAR(QDateTime::currentDateTimeUtc().secsTo(*stored(photos).availableUntil), 86400, 90);
    EXPECT_TRUE(text(item(window, "availabilityDescription")).startsWith("Switches itself off "));
    typeInto(item(window, "availableUntilField"), "2099-12-24 18:30");
    pressKey(window, Qt::Key_Return);
    EXPECT_EQ(stored(photos).availableUntil, QDateTime(QDate(2099, 12, 24), QTime(18, 30)).toUTC());
    EXPECT_EQ(text(item(window, "availableUntilField")), "2099-12-24 18:30");
    click(item(window, "clearAvailableUntilButton"));
    EXPECT_FALSE(stored(photos).availableUntil);
    EXPECT_EQ(text(item(window, "availabilityDescription")), "Shared until you switch it off.");

    writeSyncthingConfig({state.shares[photos], state.shares[music], spaceShare("films", "Films", false)});
    click(item(window, "refreshSpacesButton"));
    EXPECT_TRUE(waitUntil([&] { return find(window, "shareRow_films") != nullptr; }));
    desktop.openSettings();
    window->close();
    EXPECT_FALSE(desktop.settings()->isVisible()) << "closing the main window ends the application";
}

// Visitors of a real server fetch a page, a file and an archive, one reading slowly: the Activity view lists
// them by share, shows the running download's progress (the tray counts it) and the totals since a reset.
TEST(MainWindow, TheActivityViewShowsVisitorsRunningDownloadsAndTotalsSinceAReset) {
    const QuarryShareAppState state = stateWith({makeShare({.slug = "photos", .name = "Family Photos"})});
    writeState(state);
    testing_support::writeFile(state.shares[0].path + "/notes.txt", "hello");
    testing_support::writeFile(state.shares[0].path + "/album/film.mov", {});
    ASSERT_TRUE(QFile::resize(state.shares[0].path + "/album/film.mov", 32 << 20)); // more than sockets hold
    Desktop desktop;
    ASSERT_TRUE(desktop.waitForServer());
    QQuickWindow* window = desktop.main();
    const auto shows = [&](QObject* scope, const QString& name, const QString& pattern) {
        const QRegularExpression expected("^" + pattern + "$");
        EXPECT_TRUE(waitUntil([&] { return expected.match(text(find(scope, name))).hasMatch(); }))
            << text(find(scope, name)).toStdString() << " is not " << pattern.toStdString();
    };
    httpGet(state.port, "/photos/");
    httpGet(state.port, "/photos/notes.txt?download=1");
    std::unique_ptr<QTcpSocket> slow = partialExchange(
        state.port,
        "GET /photos/album?download=1 HTTP/1.1\r\nHost: localhost\r\nCf-Connecting-Ip: 203.0.113.9\r\n\r\n",
        65536);
    click(item(window, "activityButton"));
    shows(window, "runningDownloadText",
          R"(album \(Family Photos\) to 203\.0\.113\.9 via public link: [0-9.]+ [kM]B of 33\.6 MB)");
    const double progress = item(window, "runningDownloadProgress")->property("value").toDouble();
    EXPECT_TRUE(progress > 0 && progress < 1) << progress;
    EXPECT_TRUE(desktop.shell().tray()->toolTip().endsWith("\n1 download running"));

    slow.reset(); // the visitor gives up: listed with the rest, the latest first
    EXPECT_TRUE(waitUntil([&] { return !find(window, "runningDownload_0"); }));
    EXPECT_FALSE(desktop.shell().tray()->toolTip().contains("running"));
    QQuickItem* visitors = item(window, "shareVisitors_photos");
    const QString today =
        QRegularExpression::escape(QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
    shows(visitors, "visitor_0",
          R"(203\.0\.113\.9 via public link, )" + today + R"(.*: album \(not finished\))");
    shows(visitors, "visitor_1", R"(127\.0\.0\.1 via this computer, )" + today + R"(.*: notes\.txt)");
    shows(window, "shareTotal_photos",
          R"(Family Photos: 2 visitors, 1 completed download, [0-9.]+ [kM]B sent)");
    click(item(window, "resetTotalsButton"));
    shows(window, "shareTotal_photos", "Family Photos: 0 visitors, 0 completed downloads, 0 B sent");
    httpGet(state.port, "/photos/notes.txt?download=1");
    shows(window, "shareTotal_photos", "Family Photos: 1 visitor, 1 completed download, 5 B sent");
}

TEST(FolderChooser, AnswersWithTheChosenFolderOnly) {
    QuarryDialogFolderChooser chooser;
    int requests = 0;
    QObject::connect(&chooser, &QuarryDialogFolderChooser::chooseRequested, [&] { ++requests; });
    QList<std::optional<QString>> answers;
    const auto ask = [&] {
        chooser.chooseFolder([&](std::optional<QString> path) { answers.append(path); });
    };
    const QString folder = makeFolder("Letters");
    testing_support::writeFile(folder + "/note.txt", "hi");

    ask();
    chooser.finish(QUrl::fromLocalFile(folder + "/"));
    ask();
    chooser.cancel();
    ask();
    chooser.finish(QUrl::fromLocalFile(folder + "/note.txt")); // a file is no folder
    ask();
    chooser.finish(QUrl("https://example.com/folder"));
    ask();
    ask(); // a second dialog ends the first as cancelled
    chooser.finish(QUrl::fromLocalFile(folder));
    chooser.cancel(); // nobody waits any more
    EXPECT_EQ(requests, 6);
    EXPECT_EQ(answers, (QList<std::optional<QString>>{folder, std::nullopt, std::nullopt, std::nullopt,
                                                      std::nullopt, folder}));
}
