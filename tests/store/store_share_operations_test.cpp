#include "store_fixture.h"

#include <QCryptographicHash>

using namespace store_testing;

TEST(StoreShares, AddedFoldersAndEditedSlugsGetTheFirstFreeSlug) {
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("A"), QStringLiteral("my-photos")),
                    customShare(QStringLiteral("B"), QStringLiteral("b")),
                    customShare(QStringLiteral("C"), QStringLiteral("share"))};
    writeState(state);
    QuarryShareStore store;
    ScriptedFolderChooser chooser;
    store.setFolderChooser(&chooser);
    chooser.answer = makeFolder(QStringLiteral("My Photos"));
    store.addCustomFolder();
    ASSERT_EQ(store.appState().shares.size(), 4);
    EXPECT_EQ(store.appState().shares[3].urlSlug, QStringLiteral("my-photos-2"));
    EXPECT_EQ(store.appState().shares[3].name, QStringLiteral("My Photos"));
    store.addCustomFolder();
    EXPECT_EQ(store.appState().shares.size(), 4);
    EXPECT_EQ(store.statusMessage(), QStringLiteral("My Photos is already listed."));

    const QUuid b = state.shares[1].id;
    store.updateSlug(b, QStringLiteral("My Photos!"));
    EXPECT_EQ(store.appState().shares[1].urlSlug, QStringLiteral("my-photos-3"));
    store.updateSlug(b, QStringLiteral("my-photos-3")); // its own slug is not taken
    EXPECT_EQ(store.appState().shares[1].urlSlug, QStringLiteral("my-photos-3"));
    store.updateSlug(b, QStringLiteral("?!"));
    EXPECT_EQ(store.appState().shares[1].urlSlug, QStringLiteral("share-2"));
    // An id that names no share changes nothing.
    store.updateSlug(QUuid::createUuid(), QStringLiteral("x"));
    EXPECT_EQ(store.appState().shares, readState()->shares);
}

TEST(StoreShares, PasswordsAreSaltedTrimmedAndReplaced) {
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral(" Team Docs "), QStringLiteral("docs"), true)};
    writeState(state);
    QuarryShareStore store;
    const QUuid id = state.shares[0].id;

    store.setPassword(id, QStringLiteral("   "));
    EXPECT_EQ(store.errorMessage(),
              QStringLiteral("Enter a password before turning password protection on."));
    EXPECT_FALSE(store.appState().shares[0].isPasswordProtected());

    store.setPassword(id, QStringLiteral(" open sesame\n"));
    const QuarryFolderShare first = store.appState().shares[0];
    ASSERT_TRUE(first.isPasswordProtected());
    // What the server checks a visitor's password against.
    EXPECT_EQ(*first.passwordDigest,
              QCryptographicHash::hash((*first.passwordSalt + QStringLiteral(":open sesame")).toUtf8(),
                                       QCryptographicHash::Sha256)
                  .toHex());
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Password enabled for Team Docs."));

    store.setPassword(id, QStringLiteral("   "));
    EXPECT_EQ(store.appState().shares[0], first); // a blank password leaves the old one in place
    store.setPassword(id, QStringLiteral("open sesame"));
    EXPECT_NE(store.appState().shares[0].passwordSalt, first.passwordSalt);

    store.removePassword(id);
    EXPECT_FALSE(readState()->shares[0].isPasswordProtected());
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Password removed for Team Docs."));
}

TEST(StoreShares, SidebarSelectionURLsAndRemoval) {
    const QuarryFolderShare space = spaceShare(QStringLiteral("zeta"), QStringLiteral("zeta"));
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("notes"), QStringLiteral("notes"), true), space,
                    customShare(QStringLiteral("Quarterly"), QStringLiteral("quarterly"))};
    state.publicTunnel.hostname = QStringLiteral("photos.example.net");
    writeState(state);
    QuarryShareStore store;
    RecordingClipboard clipboard;
    store.setClipboard(&clipboard);

    // Spaces first, then custom folders by name whatever their case; nothing chosen selects the first.
    QStringList names;
    for (const QuarryFolderShare& share : store.allShares())
        names.append(share.displayName());
    EXPECT_EQ(names, (QStringList{"zeta", "notes", "Quarterly"}));
    EXPECT_EQ(store.selectedShare()->id, space.id);
    int selectionSignals = 0;
    QObject::connect(&store, &QuarryShareStore::selectedShareIDChanged, [&] { ++selectionSignals; });
    const QString quarterly = uuidText(state.shares[2].id);
    store.setProperty("selectedShareID", quarterly);
    store.setProperty("selectedShareID", quarterly); // equal assignments notify nobody
    EXPECT_EQ(selectionSignals, 1);

    const QuarryFolderShare notes = state.shares[0];
    EXPECT_EQ(store.shareURLString(notes), QStringLiteral("http://127.0.0.1:48173/notes/"));
    store.copyURL(notes.id);
    EXPECT_EQ(clipboard.copied, QStringList{QStringLiteral("http://127.0.0.1:48173/notes/")});
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Copied notes URL."));
    // A host name is kept while the link is off, but no public URL is offered.
    EXPECT_FALSE(store.publicShareURLString(notes));
    store.copyPublicURL(notes.id);
    EXPECT_EQ(clipboard.copied.size(), 1);

    store.removeShare(space.id); // spaces come and go with Syncthing only
    store.removeShare(notes.id); // not selected: the selection stays
    EXPECT_EQ(store.selectedShareID(), state.shares[2].id);
    store.removeShare(state.shares[2].id);
    EXPECT_EQ(store.selectedShareID(), space.id);
    EXPECT_EQ(readState()->shares, QList<QuarryFolderShare>{space});
}
