#include "store_fixture.h"

#include <QAbstractItemModelTester>

using namespace store_testing;

namespace {

// What a view of one list is told, one entry per change: "changed 1", "inserted 0", "moved 1>0", ….
QStringList& watch(QuarryShareListModel& list) {
    auto* changes = new QStringList;
    QObject::connect(&list, &QObject::destroyed, [changes] { delete changes; });
    new QAbstractItemModelTester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal, &list);
    QObject::connect(&list, &QAbstractItemModel::dataChanged,
                     [changes](const QModelIndex& first, const QModelIndex& last) {
                         changes->append(
                             QStringLiteral("changed %1").arg(first.row()) +
                             (last.row() != first.row() ? QStringLiteral("-%1").arg(last.row()) : QString()));
                     });
    QObject::connect(&list, &QAbstractItemModel::rowsInserted, [changes](const QModelIndex&, int row) {
        changes->append(QStringLiteral("inserted %1").arg(row));
    });
    QObject::connect(&list, &QAbstractItemModel::rowsRemoved, [changes](const QModelIndex&, int row) {
        changes->append(QStringLiteral("removed %1").arg(row));
    });
    QObject::connect(&list, &QAbstractItemModel::rowsMoved,
                     [changes](const QModelIndex&, int from, int, const QModelIndex&, int to) {
                         changes->append(QStringLiteral("moved %1>%2").arg(from).arg(to));
                     });
    QObject::connect(&list, &QAbstractItemModel::modelReset,
                     [changes] { changes->append(QStringLiteral("reset")); });
    return *changes;
}

QStringList column(const QuarryShareListModel& list, QuarryShareListModel::Role role) {
    QStringList values;
    for (int row = 0; row < list.rowCount(); ++row)
        values.append(list.data(list.index(row), role).toString());
    return values;
}

} // namespace

TEST(ShareList, RowsFollowTheStoreOneChangeAtATime) {
    const QuarryFolderShare camera =
        spaceShare(QStringLiteral("Camera"), QStringLiteral("camera"), QStringLiteral("cam"));
    const QuarryFolderShare music =
        spaceShare(QStringLiteral("Music"), QStringLiteral("music"), QStringLiteral("mus"));
    QuarryShareAppState state;
    state.shares = {music, customShare(QStringLiteral("notes"), QStringLiteral("notes")), camera};
    writeState(state);
    writeSyncthingConfig(state.shares.mid(0, 1) + state.shares.mid(2));
    QuarryShareStore store;
    QuarryShareListModel& spaces = *store.importedShareList();
    QuarryShareListModel& custom = *store.customShareList();
    QStringList& spaceChanges = watch(spaces);
    QStringList& customChanges = watch(custom);

    EXPECT_EQ(column(spaces, QuarryShareListModel::displayNameRole), QStringList({"Camera", "Music"}));
    const QModelIndex first = spaces.index(0);
    EXPECT_EQ(spaces.data(first, QuarryShareListModel::idRole).toString(), uuidText(camera.id));
    EXPECT_EQ(spaces.data(first, QuarryShareListModel::sourceRole).toString(), "quarry");
    EXPECT_EQ(spaces.data(first, QuarryShareListModel::sourceTitleRole).toString(), "From brightloom");
    EXPECT_EQ(spaces.data(first, QuarryShareListModel::shareURLRole).toString(),
              "http://127.0.0.1:48173/camera/");
    EXPECT_EQ(spaces.data(first, QuarryShareListModel::localURLsRole).toStringList().size(),
              store.server()->availableOrigins().size());
    EXPECT_EQ(spaces.roleNames().value(QuarryShareListModel::isPasswordProtectedRole), "isPasswordProtected");

    // One share switched, the subdomain edited: one row changes, and nothing else.
    store.toggleShare(music.id, true);
    store.publicLink()->setPublicTunnelSubdomain(QStringLiteral("team"));
    EXPECT_EQ(spaceChanges, QStringList({"changed 1"}));
    EXPECT_EQ(spaces.data(spaces.index(1), QuarryShareListModel::isEnabledRole), true);

    // Syncthing renames a space: its row moves where its new name sorts, keeping its place in the view.
    writeSyncthingConfig(QStringLiteral("<folder id=\"cam\" label=\"Zoo\" path=\"%1\"/>"
                                        "<folder id=\"mus\" label=\"Music\" path=\"%2\"/>")
                             .arg(camera.path, music.path));
    store.refreshImportedFolders();
    EXPECT_EQ(column(spaces, QuarryShareListModel::displayNameRole), QStringList({"Music", "Zoo"}));
    EXPECT_EQ(spaceChanges, QStringList({"changed 1", "moved 1>0", "changed 1"}));

    // Folders come and go by the row; the public link on changes every row's public URL.
    ScriptedFolderChooser chooser;
    store.setFolderChooser(&chooser);
    chooser.answer = makeFolder(QStringLiteral("Archive"));
    store.addCustomFolder();
    store.removeShare(state.shares[1].id);
    store.changePublicTunnel([](QuarrySharePublicTunnel& tunnel) {
        tunnel.hostname = QStringLiteral("team.example.net");
        tunnel.isEnabled = true;
    });
    EXPECT_EQ(customChanges, QStringList({"inserted 0", "removed 1", "changed 0"}));
    EXPECT_EQ(column(custom, QuarryShareListModel::publicShareURLRole),
              QStringList({"https://team.example.net/archive/"}));
    EXPECT_EQ(store.selectedShare()->name, QStringLiteral("Archive"));
    EXPECT_EQ(store.property("selectedShare").toMap().value("publicShareURL"),
              "https://team.example.net/archive/");
}
