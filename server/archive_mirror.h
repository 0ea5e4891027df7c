#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

// Builds the tree that `zip` archives: a copy of a folder's structure in which every file is a symbolic
// link to the original. Links inside the share are followed as the listing follows them; links that
// lead outside the share, dangling links, link cycles and special files (FIFOs, sockets, devices) are
// left out, so `zip` can follow every link it finds without ever reading outside the share.
namespace QuarryArchiveMirror {

// Most entries one mirror may hold; past it the archive fails rather than grow without bound.
inline constexpr qint64 kMaxEntries = 1'000'000;

struct Outcome {
    bool ok = false;
    QString error;
};

// source: the folder, fully resolved; shareRoot: the share's folder, fully resolved; target: a path that
// does not exist yet and becomes the mirror of source. Stops early when cancelled becomes true.
Outcome build(const QByteArray& source, const QByteArray& shareRoot, const QByteArray& target,
              const std::atomic<bool>& cancelled);

// Removes a folder and everything in it, by the names' bytes and without following links; errors are ignored.
void removeTree(const QByteArray& path);

} // namespace QuarryArchiveMirror
