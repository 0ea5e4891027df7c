#include "model/store_fixture.h"

#include <QCryptographicHash>

using namespace store_testing;

namespace {

QString digest(const QString& salt, const QString& password) {
    return QString::fromLatin1(
        QCryptographicHash::hash((salt + QLatin1Char(':') + password).toUtf8(), QCryptographicHash::Sha256)
            .toHex());
}

} // namespace

TEST(StoreShares, AddingFoldersByHand) {
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("Old Photos"), QStringLiteral("photos"))};
    writeState(state);
    QuarryShareStore store;
    RecordingClipboard clipboard;
    ScriptedFolderChooser chooser;
    store.setClipboard(&clipboard);
    store.setFolderChooser(&chooser);

    chooser.answer = std::nullopt; // cancelled
    store.addCustomFolder();
    EXPECT_EQ(store.appState().shares.size(), 1);

    chooser.answer = makeFolder(QStringLiteral("Photos"));
    store.addCustomFolder();
    ASSERT_EQ(store.appState().shares.size(), 2);
    const QuarryFolderShare added = store.appState().shares.last();
    EXPECT_EQ(added.urlSlug, QStringLiteral("photos-2"));
    EXPECT_EQ(added.name, QStringLiteral("Photos"));
    EXPECT_EQ(added.source, QuarryShareSource::custom);
    EXPECT_FALSE(added.isEnabled);
    EXPECT_EQ(store.selectedShareID(), added.id);
    EXPECT_EQ(readState()->shares.size(), 2);

    store.addCustomFolder();
    EXPECT_EQ(store.appState().shares.size(), 2);
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Photos is already listed."));
}

TEST(StoreShares, SlugsAreSluggedAndUnique) {
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("A"), QStringLiteral("my-photos")),
                    customShare(QStringLiteral("B"), QStringLiteral("b")),
                    customShare(QStringLiteral("C"), QStringLiteral("share"))};
    writeState(state);
    QuarryShareStore store;
    const QUuid b = state.shares[1].id;
    store.updateSlug(b, QStringLiteral("My Photos!"));
    EXPECT_EQ(store.appState().shares[1].urlSlug, QStringLiteral("my-photos-2"));
    store.updateSlug(b, QStringLiteral("my-photos-2"));
    EXPECT_EQ(store.appState().shares[1].urlSlug, QStringLiteral("my-photos-2"));
    store.updateSlug(b, QStringLiteral("?!"));
    EXPECT_EQ(store.appState().shares[1].urlSlug, QStringLiteral("share-2"));
    store.updateSlug(b, QStringLiteral("Café Noir"));
    EXPECT_EQ(store.appState().shares[1].urlSlug, QStringLiteral("cafe-noir"));
    EXPECT_EQ(readState()->shares[1].urlSlug, QStringLiteral("cafe-noir"));
    // An id that names no share changes nothing.
    store.updateSlug(QUuid::createUuid(), QStringLiteral("x"));
    store.updateSlug(QStringLiteral("not an id"), QStringLiteral("x"));
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
    EXPECT_EQ(first.passwordSalt->size(), 32);
    EXPECT_EQ(*first.passwordSalt, first.passwordSalt->toUpper());
    EXPECT_FALSE(first.passwordSalt->contains(QLatin1Char('-')));
    EXPECT_EQ(*first.passwordDigest, digest(*first.passwordSalt, QStringLiteral("open sesame")));
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Password enabled for Team Docs."));

    store.setPassword(id, QStringLiteral("   "));
    EXPECT_EQ(store.appState().shares[0], first); // a blank password leaves the old one in place

    store.setPassword(id, QStringLiteral("open sesame"));
    EXPECT_NE(store.appState().shares[0].passwordSalt, first.passwordSalt);
    EXPECT_NE(store.appState().shares[0].passwordDigest, first.passwordDigest);

    store.removePassword(id);
    EXPECT_FALSE(store.appState().shares[0].passwordSalt);
    EXPECT_FALSE(store.appState().shares[0].passwordDigest);
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Password removed for Team Docs."));
    EXPECT_FALSE(readState()->shares[0].passwordSalt);
}

TEST(StoreShares, RemovingOnlyCustomShares) {
    QuarryFolderShare space;
    space.source = QuarryShareSource::quarry;
    space.name = QStringLiteral("Space");
    space.path = makeFolder(QStringLiteral("Space"));
    space.urlSlug = QStringLiteral("space");
    QuarryShareAppState state;
    state.shares = {space, customShare(QStringLiteral("One"), QStringLiteral("one")),
                    customShare(QStringLiteral("Two"), QStringLiteral("two"))};
    writeState(state);
    QuarryShareStore store;
    store.removeShare(space.id);
    EXPECT_EQ(store.appState().shares.size(), 3);

    store.setSelectedShareID(state.shares[2].id);
    store.removeShare(state.shares[1].id); // not selected: the selection stays
    EXPECT_EQ(store.selectedShareID(), state.shares[2].id);
    store.removeShare(state.shares[2].id);
    EXPECT_EQ(store.selectedShareID(), space.id);
    EXPECT_EQ(readState()->shares, QList<QuarryFolderShare>{space});
}

TEST(StoreShares, LocalAndPublicURLs) {
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("Docs"), QStringLiteral("docs"), true)};
    state.publicTunnel.hostname = QStringLiteral("photos.example.net");
    writeState(state);
    QuarryShareStore store;
    RecordingClipboard clipboard;
    store.setClipboard(&clipboard);
    const QuarryFolderShare share = store.appState().shares[0];

    EXPECT_EQ(store.shareURLString(share), QStringLiteral("http://127.0.0.1:48173/docs/"));
    store.copyURL(share.id);
    EXPECT_EQ(clipboard.copied, QStringList{QStringLiteral("http://127.0.0.1:48173/docs/")});
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Copied Docs URL."));

    // A host name is kept while the link is off, but no public URL is offered.
    EXPECT_FALSE(store.publicShareURLString(share));
    store.copyPublicURL(share.id);
    EXPECT_EQ(clipboard.copied.size(), 1);
    EXPECT_EQ(store.publicTunnelURL(), QStringLiteral("https://photos.example.net/"));
    EXPECT_EQ(store.property("publicTunnelDomainSuffix").toString(), QStringLiteral(".example.net"));
}

TEST(StoreShares, SidebarOrderAndSelection) {
    QuarryFolderShare space;
    space.source = QuarryShareSource::quarry;
    space.name = QStringLiteral("zeta");
    space.path = makeFolder(QStringLiteral("zeta"));
    space.urlSlug = QStringLiteral("zeta");
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("beta"), QStringLiteral("beta"), true), space,
                    customShare(QStringLiteral("Alpha"), QStringLiteral("alpha"))};
    writeState(state);
    QuarryShareStore store;
    QStringList names;
    for (const QuarryFolderShare& share : store.allShares())
        names.append(share.displayName());
    EXPECT_EQ(names, (QStringList{"zeta", "Alpha", "beta"}));
    EXPECT_EQ(store.selectedShare()->id, space.id); // nothing chosen: the first of the sidebar
    int selectionSignals = 0;
    QObject::connect(&store, &QuarryShareStore::selectedShareIDChanged, [&] { ++selectionSignals; });
    const QString beta = uuidText(state.shares[0].id);
    store.setProperty("selectedShareID", beta);
    store.setProperty("selectedShareID", beta); // equal assignments notify nobody
    EXPECT_EQ(selectionSignals, 1);
    EXPECT_EQ(store.property("selectedShare").toMap().value("displayName").toString(),
              QStringLiteral("beta"));
}
