#include "store_fixture.h"

#include <QAbstractItemModelTester>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "core/state_document.h"

using namespace store_testing;
using namespace std::chrono_literals;

// Slugs stay unique however a folder is added or a slug edited; passwords are salted, trimmed, replaced.
TEST(StoreShares, SlugsStayUniqueAndPasswordsAreSaltedTrimmedAndReplaced) {
    QuarryShareAppState state;
    state.shares = {customShare(QStringLiteral("A"), QStringLiteral("my-photos")),
                    customShare(QStringLiteral("B"), QStringLiteral("b")),
                    customShare(QStringLiteral("C"), QStringLiteral("share")),
                    customShare(QStringLiteral(" Team Docs "), QStringLiteral("docs"), true)};
    writeState(state);
    QuarryShareStore store;
    ScriptedFolderChooser chooser;
    store.setFolderChooser(&chooser);
    chooser.answer = makeFolder(QStringLiteral("My Photos"));
    store.addCustomFolder();
    ASSERT_EQ(store.appState().shares.size(), 5);
    EXPECT_EQ(store.appState().shares[4].urlSlug, QStringLiteral("my-photos-2"));
    EXPECT_EQ(store.appState().shares[4].name, QStringLiteral("My Photos"));
    store.addCustomFolder();
    EXPECT_EQ(store.appState().shares.size(), 5);
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

    const QUuid id = state.shares[3].id;
    store.setPassword(id, QStringLiteral("   "));
    EXPECT_EQ(store.errorMessage(),
              QStringLiteral("Enter a password before turning password protection on."));
    EXPECT_FALSE(store.appState().shares[3].isPasswordProtected());

    store.setPassword(id, QStringLiteral(" open sesame\n"));
    const QuarryFolderShare first = store.appState().shares[3];
    ASSERT_TRUE(first.isPasswordProtected());
    // What the server checks a visitor's password against.
    EXPECT_EQ(*first.passwordDigest,
              QCryptographicHash::hash((*first.passwordSalt + QStringLiteral(":open sesame")).toUtf8(),
                                       QCryptographicHash::Sha256)
                  .toHex());
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Password enabled for Team Docs."));

    store.setPassword(id, QStringLiteral("   "));
    EXPECT_EQ(store.appState().shares[3], first); // a blank password leaves the old one in place
    store.setPassword(id, QStringLiteral("open sesame"));
    EXPECT_NE(store.appState().shares[3].passwordSalt, first.passwordSalt);

    store.removePassword(id);
    EXPECT_FALSE(readState()->shares[3].isPasswordProtected());
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Password removed for Team Docs."));
}

namespace {

// What a view of one list is told, one entry per change ("changed 1", "inserted 0", "moved 1>0", …),
// each change checked for consistency as it happens.
QStringList* watch(QuarryShareListModel* list) {
    auto* seen = new QStringList;
    QObject::connect(list, &QObject::destroyed, [seen] { delete seen; });
    new QAbstractItemModelTester(list, QAbstractItemModelTester::FailureReportingMode::Fatal, list);
    const auto log = [seen](const QString& change) { seen->append(change); };
    QObject::connect(list, &QAbstractItemModel::dataChanged,
                     [=](auto row) { log(QString("changed %1").arg(row.row())); });
    QObject::connect(list, &QAbstractItemModel::rowsInserted,
                     [=](auto, int row) { log(QString("inserted %1").arg(row)); });
    QObject::connect(list, &QAbstractItemModel::rowsRemoved,
                     [=](auto, int row) { log(QString("removed %1").arg(row)); });
    QObject::connect(list, &QAbstractItemModel::modelReset, [=] { log("reset"); });
    QObject::connect(list, &QAbstractItemModel::rowsMoved, [=](auto, int from, int, auto, int to) {
        log(QString("moved %1>%2").arg(from).arg(to));
    });
    return seen;
}

QStringList column(const QuarryShareListModel* list, QuarryShareListModel::Role role) {
    QStringList values;
    for (int row = 0; row < list->rowCount(); ++row)
        values.append(list->data(list->index(row), role).toString());
    return values;
}

} // namespace

// The sidebar's two lists as the windows read them, and each share operation reaching them as one row
// changed, inserted, removed or moved: the rows of other shares stay as they are.
TEST(StoreShares, SidebarListsFollowEveryChangeRowByRow) {
    const QuarryFolderShare camera = spaceShare("Camera", "camera", QStringLiteral("cam"));
    const QuarryFolderShare music = spaceShare("Music", "music", QStringLiteral("mus"));
    const QuarryFolderShare notes = customShare("notes", "notes", true);
    const QuarryFolderShare quarterly = customShare("Quarterly", "quarterly");
    QuarryShareAppState state;
    state.shares = {music, notes, camera, quarterly};
    state.publicTunnel.hostname = QStringLiteral("team.example.net");
    writeState(state);
    QuarryShareStore store;
    RecordingClipboard clipboard;
    store.setClipboard(&clipboard);
    QuarryShareListModel* spaces = store.importedShareList();
    QuarryShareListModel* custom = store.customShareList();
    const QStringList& spaceChanges = *watch(spaces);
    const QStringList& customChanges = *watch(custom);

    // Spaces, then folders added by hand, each by name whatever its case; nothing chosen selects the first.
    EXPECT_EQ(column(spaces, QuarryShareListModel::displayNameRole), QStringList({"Camera", "Music"}));
    EXPECT_EQ(column(custom, QuarryShareListModel::idRole),
              QStringList({uuidText(notes.id), uuidText(quarterly.id)}));
    EXPECT_EQ(column(spaces, QuarryShareListModel::sourceTitleRole),
              QStringList({"From brightloom", "From brightloom"}));
    EXPECT_EQ(spaces->roleNames().value(QuarryShareListModel::isPasswordProtectedRole),
              "isPasswordProtected");
    EXPECT_EQ(store.selectedShare()->id, camera.id);
    int selectionSignals = 0;
    QObject::connect(&store, &QuarryShareStore::selectedShareIDChanged, [&] { ++selectionSignals; });
    store.setProperty("selectedShareID", uuidText(quarterly.id));
    store.setProperty("selectedShareID", uuidText(quarterly.id)); // equal assignments notify nobody
    EXPECT_EQ(selectionSignals, 1);

    // A host name is kept while the link is off, but no public URL is offered.
    EXPECT_EQ(column(custom, QuarryShareListModel::shareURLRole).first(), "http://127.0.0.1:48173/notes/");
    EXPECT_EQ(custom->data(custom->index(0), QuarryShareListModel::localURLsRole).toStringList().size(),
              store.server()->availableOrigins().size());
    store.copyURL(notes.id);
    EXPECT_EQ(store.statusMessage(), QStringLiteral("Copied notes URL."));
    EXPECT_EQ(column(custom, QuarryShareListModel::publicShareURLRole), QStringList({"", ""}));
    store.copyPublicURL(notes.id);
    EXPECT_EQ(clipboard.copied, QStringList{"http://127.0.0.1:48173/notes/"});

    // A share switched and the subdomain edited: one row changes. A space renamed in Syncthing moves.
    store.toggleShare(music.id, true);
    store.publicLink()->setPublicTunnelSubdomain(QStringLiteral("team"));
    writeSyncthingConfig(
        QStringLiteral(
            R"(<folder id="cam" label="Zoo" path="%1"/><folder id="mus" label="Music" path="%2"/>)")
            .arg(camera.path, music.path));
    store.refreshImportedFolders();
    EXPECT_EQ(column(spaces, QuarryShareListModel::displayNameRole), QStringList({"Music", "Zoo"}));
    EXPECT_EQ(spaceChanges, QStringList({"changed 1", "moved 1>0", "changed 1"}));

    // Folders come and go by the row (a space only with Syncthing); the selection moves off a removed one.
    ScriptedFolderChooser chooser;
    store.setFolderChooser(&chooser);
    chooser.answer = makeFolder(QStringLiteral("Archive"));
    store.addCustomFolder();
    EXPECT_EQ(store.selectedShare()->name, QStringLiteral("Archive"));
    store.removeShare(music.id);
    store.removeShare(notes.id);
    store.removeShare(store.selectedShare()->id);
    EXPECT_EQ(store.selectedShareID(), music.id);
    EXPECT_EQ(customChanges, QStringList({"inserted 0", "removed 1", "removed 0"}));
    EXPECT_EQ(readState()->shares, store.appState().shares);

    // The link on: every row gains its public URL, and so does the selected share.
    store.changePublicTunnel([](QuarrySharePublicTunnel& tunnel) { tunnel.isEnabled = true; });
    EXPECT_EQ(column(custom, QuarryShareListModel::publicShareURLRole),
              QStringList({"https://team.example.net/quarterly/"}));
    EXPECT_EQ(store.property("selectedShare").toMap().value("publicShareURL"),
              "https://team.example.net/music/");
}

TEST(StoreShares, ASharePastItsEndSwitchesItselfOffAndStaysOff) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QuarryFolderShare soon = customShare(QStringLiteral("Soon"), QStringLiteral("soon"), true);
    soon.availableUntil = now.addMSecs(1500);
    QuarryFolderShare passed = customShare(QStringLiteral("Passed"), QStringLiteral("passed"), true);
    passed.availableUntil = now.addSecs(-3600);
    QuarryFolderShare open = customShare(QStringLiteral("Open"), QStringLiteral("open"), true);
    writeState(stateWith({soon, passed, open}));
    const auto stored = [](const QUuid& id) {
        const QList<QuarryFolderShare> shares = readState()->shares;
        return *std::find_if(shares.begin(), shares.end(), [&](const auto& share) { return share.id == id; });
    };
    auto store = std::make_unique<QuarryShareStore>();
    QStringList ended;
    QObject::connect(store.get(), &QuarryShareStore::shareEnded,
                     [&](const QString& name) { ended.append(name); });

    // Ended while the application was not running: never served, and announced once it starts.
    EXPECT_FALSE(stored(passed.id).isEnabled);
    EXPECT_FALSE(store->currentSnapshot().shares[1].isEnabled);
    store->start();
    EXPECT_EQ(ended, QStringList{QStringLiteral("Passed")});

    // The timer ends the other within a second of its end, as the switch would, and keeps the end.
    ASSERT_TRUE(waitUntil([&] { return !stored(soon.id).isEnabled; }, 2500ms));
    EXPECT_LE(QDateTime::currentDateTimeUtc(), soon.availableUntil->addSecs(1));
    EXPECT_EQ(ended, (QStringList{QStringLiteral("Passed"), QStringLiteral("Soon")}));
    EXPECT_FALSE(store->currentSnapshot().shares[0].isEnabled);
    QFile file(statePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray written = QJsonDocument::fromJson(file.readAll())["shares"].toArray();
    EXPECT_EQ(written[0]["availableUntil"].toDouble(), secondsSinceReferenceDate(*soon.availableUntil));
    EXPECT_FALSE(written[2].toObject().contains("availableUntil"));

    // Picking an end: the quick choices count from now; a time past or unreadable is refused.
    store->setAvailableFor(open.id, 3600);
    EXPECT_NEAR(now.secsTo(*stored(open.id).availableUntil), 3600, 90);
    store->setAvailableUntilText(open.id, QStringLiteral("2001-01-01 10:00"));
    EXPECT_EQ(store->errorMessage(), QStringLiteral("Pick a time that has not passed yet."));
    store->setAvailableUntilText(open.id, QStringLiteral("tomorrow"));
    EXPECT_EQ(store->errorMessage(),
              QStringLiteral("Enter the end as a date and time, like 2026-12-24 18:00."));

    // Off after a restart too; switching on again clears the end that passed.
    store.reset();
    store = std::make_unique<QuarryShareStore>();
    EXPECT_FALSE(store->appState().shares[0].isEnabled);
    store->toggleShare(soon.id, true);
    EXPECT_TRUE(stored(soon.id).isEnabled);
    EXPECT_FALSE(stored(soon.id).availableUntil);
}
