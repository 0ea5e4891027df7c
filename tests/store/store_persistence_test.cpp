#include "store_fixture.h"

#include <QFileInfo>

#include <sys/stat.h>

using namespace store_testing;

// A first launch saves only what it found: nothing, or Syncthing's spaces switched off, the first selected.
TEST(StorePersistence, AFirstLaunchSavesOnlyImportedSpacesAndALaterLaunchExpandsTheHomeFolder) {
    {
        QuarryShareStore store;
        EXPECT_TRUE(store.appState().shares.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(statePath()));
    }
    writeSyncthingConfig(QStringLiteral("<folder id=\"m-1\" label=\"Music\" path=\"%1\"/>"
                                        "<folder id=\"p-1\" label=\"Photos\" path=\"%2\"/>")
                             .arg(makeFolder(QStringLiteral("Music")), makeFolder(QStringLiteral("Photos"))));
    {
        QuarryShareStore store;
        const QList<QuarryFolderShare> shares = store.appState().shares;
        ASSERT_EQ(shares.size(), 2);
        EXPECT_EQ(shares[0].name, QStringLiteral("Music"));
        EXPECT_EQ(shares[1].source, QuarryShareSource::quarry);
        EXPECT_FALSE(shares[0].isEnabled || shares[1].isEnabled);
        EXPECT_EQ(store.selectedShareID(), shares[0].id);
        EXPECT_EQ(readState()->shares, shares);
    }
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("Docs"), QStringLiteral("docs"))};
    state.shares[0].path = QStringLiteral("~/Documents");
    writeState(state);
    EXPECT_EQ(QuarryShareStore().appState().shares.value(0).path, home() + QStringLiteral("/Documents"));
}

TEST(StorePersistence, UnreadableDocumentIsKeptAsideOnceAndSavesArePrivateAndWhole) {
    const QByteArray broken = R"({"port": 9000, "shares": [{"id": "oops"}]})";
    writeState(broken);
    {
        QuarryShareStore store;
        EXPECT_EQ(store.appState().port, 48173);
        // The bad file itself stays until the next save.
        QFile file(statePath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), broken);
    }
    { QuarryShareStore again; } // a second launch before any save keeps no second copy

    const QDir folder = QFileInfo(statePath()).absoluteDir();
    const QStringList kept = folder.entryList({QStringLiteral("state.json.unreadable-*")}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    QFile copy(folder.filePath(kept.first()));
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), broken);
    EXPECT_EQ(QFileInfo(copy).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);

    QuarryShareStore store;
    store.server()->setPortString(QStringLiteral("9001"));
    ASSERT_TRUE(readState());
    EXPECT_EQ(*readState(), store.appState());
    EXPECT_EQ(QuarryShareStore().appState(), store.appState()); // and the next launch loads it
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(statePath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Nothing but the document and the kept copy is left behind (no temporary files).
    EXPECT_EQ(folder.entryList(QDir::Files), QStringList({QStringLiteral("state.json"), kept.first()}));
}

TEST(StoreMerge, RefreshFollowsSyncthingAndOnlySyncthing) {
    QuarryFolderShare vanished =
        spaceShare(QStringLiteral("Old"), QStringLiteral("old"), QStringLiteral("gone"));
    vanished.passwordSalt = QStringLiteral("S");
    vanished.passwordDigest = QStringLiteral("D");
    QuarryFolderShare custom = customShare(QStringLiteral("Old copy"), QStringLiteral("old-copy"));
    custom.path = vanished.path;
    QuarryFolderShare byPath = spaceShare(QStringLiteral("Camera"), QStringLiteral("my-camera"));
    byPath.isEnabled = true;
    QuarryShareAppState state;
    state.shares = {vanished, custom, byPath};
    writeState(state);
    {
        QuarryShareStore store; // no Syncthing configuration: the stored spaces stay as they are
        EXPECT_EQ(store.appState().shares, state.shares);
    }
    writeSyncthingConfig(
        QStringLiteral("<folder id=\"cam-9\" label=\"Phone Camera\" path=\"%1\"/>"
                       "<folder id=\"a\" label=\"Photos\" path=\"%2\"/>"
                       "<folder id=\"b\" label=\"Photos\" path=\"%3\"/>")
            .arg(byPath.path, makeFolder(QStringLiteral("p1")), makeFolder(QStringLiteral("p2"))));

    QuarryShareStore store;
    const QList<QuarryFolderShare> shares = store.appState().shares;
    ASSERT_EQ(shares.size(), 4);
    // The vanished space went with its password; the custom share on the same path stayed.
    EXPECT_EQ(shares[0].id, custom.id);
    // Matched by path: keeps id, slug and switch, gains the folder id and the new label.
    EXPECT_EQ(shares[1].id, byPath.id);
    EXPECT_EQ(shares[1].sourceFolderID, QStringLiteral("cam-9"));
    EXPECT_EQ(shares[1].name, QStringLiteral("Phone Camera"));
    EXPECT_EQ(shares[1].urlSlug, QStringLiteral("my-camera"));
    EXPECT_TRUE(shares[1].isEnabled);
    EXPECT_EQ(shares[2].urlSlug, QStringLiteral("photos"));
    EXPECT_EQ(shares[3].urlSlug, QStringLiteral("photos-2"));
    // The template folder inside <defaults> never becomes a share of the whole home folder.
    for (const QuarryFolderShare& share : shares)
        EXPECT_NE(share.path, home());

    // The selected space disappears from Syncthing: the selection moves to the first share.
    store.setSelectedShareID(shares[2].id);
    writeSyncthingConfig(
        QStringLiteral("<folder id=\"cam-9\" label=\"Phone Camera\" path=\"%1\"/>").arg(byPath.path));
    store.refreshImportedFolders();
    ASSERT_EQ(store.appState().shares.size(), 2);
    EXPECT_EQ(store.selectedShareID(), custom.id);
    EXPECT_EQ(readState()->shares, store.appState().shares);

    // An unreadable configuration is the same as none.
    testing_support::writeFile(home() + QStringLiteral("/.config/syncthing/config.xml"), "<configuration>");
    store.refreshImportedFolders();
    EXPECT_EQ(store.appState().shares.size(), 2);
}
