#include "tests/app/desktop_driver.h"

#include "support/test_support.h"

#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>

using namespace desktop_testing;
using testing_support::waitUntil;

namespace {

// One Syncthing space that is on, one that is off, and a protected folder added by hand.
struct Fixture {
    QuarryShareAppState state;
    QuarryFolderShare& photos() { return state.shares[0]; }
    QuarryFolderShare& music() { return state.shares[1]; }
    QuarryFolderShare& notes() { return state.shares[2]; }

    Fixture() {
        state.port = freePort();
        state.shares = {makeShare(QuarryShareSource::quarry, "Photos", "photos", true),
                        makeShare(QuarryShareSource::quarry, "Music", "music", false),
                        makeShare(QuarryShareSource::custom, "Notes", "notes", true)};
        protect(notes(), "letmein");
        writeState(state);
        writeSyncthingConfig({photos(), music()});
    }
};

QuarryFolderShare stored(const QUuid& id) {
    const auto state = readState();
    for (const QuarryFolderShare& share : state ? state->shares : QList<QuarryFolderShare>()) {
        if (share.id == id)
            return share;
    }
    return {};
}

struct ScriptedFolderChooser : QuarryFolderChooser {
    void chooseFolder(std::function<void(std::optional<QString>)> done) override {
        ++asked;
        done(answer);
    }
    std::optional<QString> answer;
    int asked = 0;
};

QStringList menuTexts(QQuickWindow* window) {
    QStringList texts;
    for (const char* name :
         {"menuCopyURL", "menuCopyPublicURL", "menuToggle", "menuRemovePassword", "menuRemove"})
        if (QQuickItem* entry = find(window, name))
            texts.append(text(entry));
    return texts;
}

QQuickItem* openMenu(QQuickWindow* window, const QString& slug) {
    rightClick(item(window, "shareRow_" + slug));
    QQuickItem* menu = nullptr;
    waitUntil([&] { return (menu = find(window, "shareContextMenu")) != nullptr; });
    return menu;
}

void closeMenu(QQuickWindow* window) {
    pressKey(window, Qt::Key_Escape);
    waitUntil([&] { return !find(window, "shareContextMenu"); });
}

} // namespace

TEST(MainWindow, WithoutSharesShowsOnlyExtraFoldersAndTheEmptyState) {
    QuarryShareAppState state;
    state.port = freePort();
    writeState(state);
    Desktop desktop;
    EXPECT_FALSE(find(desktop.main(), "spacesSectionHeader"));
    EXPECT_EQ(text(item(desktop.main(), "extraFoldersSectionHeader")), "Extra Folders");
    EXPECT_EQ(text(item(desktop.main(), "addFolderButton")), "Add Folder");
    EXPECT_EQ(text(item(desktop.main(), "emptyStateTitle")), "No spaces yet");
    EXPECT_EQ(text(item(desktop.main(), "emptyStateDescription")),
              "Import brightloom spaces or add another folder to start sharing it read-only.");
    EXPECT_EQ(iconOf(item(desktop.main(), "emptyStateIcon")), "folder.badge.questionmark");
    EXPECT_FALSE(find(desktop.main(), "headerCard"));
}

TEST(MainWindow, SidebarRowsShowStateAndTheirMenusFitTheSource) {
    Fixture fixture;
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    EXPECT_EQ(text(item(window, "spacesSectionHeader")), "brightloom Spaces");

    QQuickItem* music = item(window, "shareRow_music");
    EXPECT_EQ(text(itemIn(music, "shareRowDetail")), "Off");
    EXPECT_EQ(color(itemIn(music, "shareRowIcon")), color(itemIn(music, "shareRowDetail")))
        << "secondary grey";
    QQuickItem* photos = item(window, "shareRow_photos");
    EXPECT_EQ(text(itemIn(photos, "shareRowName")), "Photos");
    EXPECT_EQ(text(itemIn(photos, "shareRowDetail")), "/photos");
    EXPECT_EQ(color(itemIn(photos, "shareRowIcon")), QColor("#0E925D"));
    EXPECT_NE(color(itemIn(music, "shareRowIcon")), QColor("#0E925D"));
    EXPECT_FALSE(findIn(photos, "shareRowLock"));
    EXPECT_TRUE(findIn(item(window, "shareRow_notes"), "shareRowLock"));

    openMenu(window, "music");
    EXPECT_EQ(menuTexts(window), QStringList({"Copy URL", "Turn On"})) << "a space cannot be removed";
    closeMenu(window);
    openMenu(window, "notes");
    EXPECT_EQ(menuTexts(window), QStringList({"Copy URL", "Turn Off", "Remove Password", "Remove"}));
    EXPECT_TRUE(find(window, "menuRemoveSeparator"));
    closeMenu(window);

    // Turning the space on from its menu switches it on for visitors and in the document.
    openMenu(window, "music");
    click(item(window, "menuToggle"));
    EXPECT_TRUE(stored(fixture.music().id).isEnabled);
    EXPECT_TRUE(waitUntil(
        [&] { return text(findIn(find(window, "shareRow_music"), "shareRowDetail")) == "/music"; }));
    EXPECT_EQ(color(findIn(find(window, "shareRow_music"), "shareRowIcon")), QColor("#0E925D"));

    openMenu(window, "notes");
    click(item(window, "menuCopyURL"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), desktop.store().availableOrigins().first() + "notes/");
    openMenu(window, "notes");
    click(item(window, "menuRemovePassword"));
    EXPECT_FALSE(stored(fixture.notes().id).isPasswordProtected());
    openMenu(window, "notes");
    click(item(window, "menuRemove"));
    EXPECT_TRUE(waitUntil([&] { return !find(window, "shareRow_notes"); }));
    EXPECT_EQ(readState()->shares.size(), 2);
}

TEST(MainWindow, SelectingARowShowsItsCardsAndAnOffShareCannotBeCopied) {
    Fixture fixture;
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    click(item(window, "shareRow_music"));
    EXPECT_EQ(desktop.store().selectedShareID(), fixture.music().id);
    QQuickItem* header = item(window, "headerCard");
    EXPECT_EQ(text(itemIn(header, "cardTitle")), "Music");
    EXPECT_EQ(text(itemIn(header, "cardSubtitle")), fixture.music().path);
    EXPECT_EQ(text(itemIn(header, "headerSourceTitle")), "From brightloom");
    EXPECT_EQ(text(itemIn(header, "headerURL")), desktop.store().availableOrigins().first() + "music/");
    EXPECT_FALSE(findIn(header, "headerPasswordLabel"));
    EXPECT_FALSE(item(window, "sharedSwitch")->property("checked").toBool());
    EXPECT_FALSE(isEnabled(item(window, "copyURLButton")));
    EXPECT_FALSE(find(window, "removeFolderButton")) << "spaces come and go with Syncthing";

    click(item(window, "sharedSwitch"));
    EXPECT_TRUE(stored(fixture.music().id).isEnabled);
    EXPECT_TRUE(isEnabled(item(window, "copyURLButton")));
    QGuiApplication::clipboard()->clear();
    click(item(window, "copyURLButton"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), desktop.store().availableOrigins().first() + "music/");

    click(item(window, "shareRow_notes"));
    EXPECT_EQ(text(itemIn(item(window, "headerCard"), "headerSourceTitle")), "Custom Folder");
    EXPECT_TRUE(find(window, "headerPasswordLabel"));
    click(item(window, "removeFolderButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(window, "shareRow_notes"); }));
}

TEST(MainWindow, TheSlugFieldKeepsWhatIsTypedAndThenShowsTheStoredSlug) {
    Fixture fixture;
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    click(item(window, "shareRow_music"));
    QQuickItem* slug = item(window, "slugField");
    typeInto(slug, "My Photos!");
    EXPECT_EQ(text(slug), "My Photos!") << "blanks survive while typing";
    EXPECT_EQ(stored(fixture.music().id).urlSlug, "my-photos");
    leave(slug);
    EXPECT_EQ(text(slug), "my-photos");
    EXPECT_EQ(text(itemIn(item(window, "shareRow_my-photos"), "shareRowDetail")), "Off") << "the row follows";

    // A slug another share uses is made unique; punctuation alone gives "share".
    typeInto(slug, "Photos");
    leave(slug);
    EXPECT_EQ(text(slug), "photos-2");
    typeInto(slug, "?!");
    leave(slug);
    EXPECT_EQ(text(slug), "share");

    // Selecting another share while typing shows that share's slug, not the half-typed text.
    typeInto(slug, "half typed");
    click(item(window, "shareRow_photos"));
    EXPECT_EQ(text(item(window, "slugField")), "photos");
}

TEST(MainWindow, PasswordsThatDoNotMatchAreReportedAndChangeNothing) {
    Fixture fixture;
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    click(item(window, "shareRow_photos"));
    QQuickItem* set = item(window, "setPasswordButton");
    EXPECT_EQ(text(set), "Set Password");
    EXPECT_FALSE(isEnabled(set));
    EXPECT_EQ(text(item(window, "passwordStateTitle")), "Open link");
    EXPECT_EQ(iconOf(item(window, "passwordStateIcon")), "lock.open");
    EXPECT_FALSE(find(window, "removePasswordButton"));

    typeInto(item(window, "newPasswordField"), "sunflower");
    EXPECT_FALSE(isEnabled(set)) << "both fields are needed";
    typeInto(item(window, "confirmPasswordField"), "sunflowers");
    ASSERT_TRUE(isEnabled(set));
    click(set);
    QQuickItem* alert = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (alert = find(window, "errorAlert")) != nullptr; }));
    EXPECT_EQ(text(itemIn(alert, "errorAlertTitle")), "brightloom Share");
    EXPECT_EQ(text(itemIn(alert, "errorAlertMessage")), "The passwords do not match.");
    EXPECT_EQ(desktop.store().errorMessage(), QString("The passwords do not match."));
    EXPECT_FALSE(stored(fixture.photos().id).isPasswordProtected());
    EXPECT_EQ(text(item(window, "newPasswordField")), "sunflower") << "the typed passwords stay";
    EXPECT_EQ(text(item(window, "confirmPasswordField")), "sunflowers");

    click(itemIn(alert, "errorAlertOKButton"));
    EXPECT_TRUE(waitUntil([&] { return !find(window, "errorAlert"); }));
    EXPECT_FALSE(desktop.store().errorMessage()) << "dismissing clears the message";

    typeInto(item(window, "confirmPasswordField"), "sunflower");
    click(item(window, "setPasswordButton"));
    EXPECT_TRUE(stored(fixture.photos().id).isPasswordProtected());
    EXPECT_EQ(text(item(window, "newPasswordField")), "");
    EXPECT_EQ(text(item(window, "confirmPasswordField")), "");
    EXPECT_EQ(text(item(window, "passwordStateTitle")), "Password required");
    EXPECT_EQ(color(item(window, "passwordStateIcon")), QColor("#0E925D"));
    EXPECT_EQ(text(item(window, "setPasswordButton")), "Change Password");
    EXPECT_TRUE(find(item(window, "shareRow_photos")->window(), "headerPasswordLabel"));

    // Changing gives a new salt; removing clears both.
    const QString firstSalt = stored(fixture.photos().id).passwordSalt.value_or("");
    typeInto(item(window, "newPasswordField"), "tulip");
    typeInto(item(window, "confirmPasswordField"), "tulip");
    pressKey(window, Qt::Key_Return);
    EXPECT_NE(stored(fixture.photos().id).passwordSalt.value_or(""), firstSalt) << "Return sets it too";
    click(item(window, "removePasswordButton"));
    EXPECT_FALSE(stored(fixture.photos().id).isPasswordProtected());
    EXPECT_EQ(text(item(window, "setPasswordButton")), "Set Password");
}

TEST(MainWindow, AddFolderAddsTheChosenFolderSwitchedOffAndSelectsIt) {
    Fixture fixture;
    ScriptedFolderChooser chooser; // stands in for the dialog, which needs a person
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    QObject* dialog = window->findChild<QObject*>("folderDialog");
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->property("acceptLabel").toString(), "Add Folder");
    desktop.store().setFolderChooser(&chooser);

    click(item(window, "addFolderButton"));
    EXPECT_EQ(chooser.asked, 1);
    EXPECT_EQ(readState()->shares.size(), 3) << "cancelling adds nothing";

    chooser.answer = makeFolder("Recipes");
    click(item(window, "addFolderButton"));
    QQuickItem* row = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (row = find(window, "shareRow_recipes")) != nullptr; }));
    EXPECT_EQ(text(itemIn(row, "shareRowDetail")), "Off");
    EXPECT_EQ(text(itemIn(item(window, "headerCard"), "cardTitle")), "Recipes");
    EXPECT_EQ(text(item(window, "pathText")), *chooser.answer);
    EXPECT_EQ(readState()->shares.last().path, *chooser.answer);
    desktop.store().setFolderChooser(&desktop.shell().folderChooser());
}

TEST(FolderChooser, AnswersWithTheChosenFolderOnly) {
    BrightloomShareFolderChooser chooser;
    int requests = 0;
    QObject::connect(&chooser, &BrightloomShareFolderChooser::chooseRequested, [&] { ++requests; });
    QList<std::optional<QString>> answers;
    const auto ask = [&] {
        chooser.chooseFolder([&](std::optional<QString> path) { answers.append(path); });
    };

    const QString folder = makeFolder("Letters");
    ask();
    EXPECT_EQ(requests, 1);
    EXPECT_TRUE(chooser.isWaiting());
    chooser.finish(QUrl::fromLocalFile(folder + "/"));
    ask();
    chooser.cancel();
    ask();
    testing_support::writeFile(folder + "/note.txt", "hi");
    chooser.finish(QUrl::fromLocalFile(folder + "/note.txt"));
    ask();
    chooser.finish(QUrl("https://example.com/folder"));
    ask();
    ask(); // a second dialog ends the first as cancelled
    EXPECT_EQ(answers, (QList<std::optional<QString>>{folder, std::nullopt, std::nullopt, std::nullopt,
                                                      std::nullopt}));
    chooser.finish(QUrl::fromLocalFile(folder));
    EXPECT_EQ(answers.last(), folder);
    EXPECT_FALSE(chooser.isWaiting());
    chooser.cancel(); // nobody is waiting: nothing happens
    EXPECT_EQ(answers.size(), 6);
}

TEST(MainWindow, RefreshSpacesPicksUpNewSyncthingFoldersAndSettingsOpen) {
    Fixture fixture;
    Desktop desktop;
    QQuickWindow* window = desktop.main();
    QuarryFolderShare films = makeShare(QuarryShareSource::quarry, "Films", "films", false);
    writeSyncthingConfig({fixture.photos(), fixture.music(), films});
    EXPECT_FALSE(find(window, "shareRow_films"));
    click(item(window, "refreshSpacesButton"));
    EXPECT_TRUE(waitUntil([&] { return find(window, "shareRow_films") != nullptr; }));
    EXPECT_EQ(item(window, "refreshSpacesButton")->property("helpText").toString(), "Refresh Spaces");

    EXPECT_FALSE(desktop.settings()->isVisible());
    EXPECT_EQ(item(window, "settingsButton")->property("helpText").toString(), "Settings");
    click(item(window, "settingsButton"));
    EXPECT_TRUE(desktop.settings()->isVisible());
    window->close();
    EXPECT_FALSE(desktop.settings()->isVisible()) << "closing the main window ends the application";
}
