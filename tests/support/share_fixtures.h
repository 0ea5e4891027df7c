#pragma once

#include "core/share_records.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The state document, Syncthing's configuration and share records as a test sets them up in its sandbox.
namespace testing_support {

// Where the application keeps state.json under the test's XDG_DATA_HOME.
QString statePath();
void writeState(const QByteArray& json);
void writeState(const QuarryShareAppState& state);
std::optional<QuarryShareAppState> readState();
// A state on a free port holding these shares.
QuarryShareAppState stateWith(const QList<QuarryFolderShare>& shares = {});

// Syncthing's configuration under the test's HOME, where a Linux installation keeps it: the given
// <folder> elements, then a <defaults> template that must never be imported.
void writeSyncthingConfig(const QString& folderElements);
// The same, listing these shares' folders (id: sourceFolderID, or else the slug).
void writeSyncthingConfig(const QList<QuarryFolderShare>& shares);

// A new folder of that name in the sandbox.
QString makeFolder(const QString& name);
// A loopback port that nothing listens on right now.
int freePort();

struct ShareSpec {
    // Every member has a default, so a designated initializer may leave any of them out.
    QString slug = {};
    QString name = {}; // empty leaves the name empty (the folder's name is shown)
    QString path = {}; // empty: a new folder named after the name, or else the slug
    bool enabled = true;
    std::optional<QString> password = {}; // protects the share with this password
    QuarryShareSource source = QuarryShareSource::custom;
    std::optional<QString> folderID = {}; // a space's Syncthing folder id
};
// A share record as the store would keep it, e.g. makeShare({.slug = "docs", .password = "pw"}).
QuarryFolderShare makeShare(const ShareSpec& wanted);

} // namespace testing_support
