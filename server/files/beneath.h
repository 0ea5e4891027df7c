#pragma once

#include "server/files/descriptor.h"

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// The one way a file or folder that a visitor can reach is opened: so that it cannot lead out of the
// share's folder at the moment it is opened, whatever is swapped for a symbolic link meanwhile, the
// check and the open are one step. openat2 takes that step in the kernel; where it is missing (an old
// kernel, a sandbox that forbids it) the same rules hold by walking the path one component at a time,
// each opened beneath the last without following a link.
namespace QuarryBeneath {

enum class Links {
    // Followed while they stay inside: relative ones wherever they lead within, absolute ones when they
    // name a place under the folder's path.
    followInside,
    // A link in any component fails the open with ELOOP: for paths that were resolved already.
    refuse,
};

// Opens path ("/"-separated, relative; "" for the folder itself) inside the folder open as
// rootDescriptor, which is the fully resolved folder rootPath. A path that would leave the folder fails
// with EXDEV, more than 40 links with ELOOP. flags are open(2) flags; O_CLOEXEC is always added. Empty,
// with errno set, when it fails.
QuarryDescriptor openBeneath(int rootDescriptor, const QByteArray& rootPath, const QByteArray& path,
                             int flags, Links links = Links::followInside);

// A fully resolved absolute path, refusing a symbolic link in any of its components (ELOOP): what was
// found inside a share is opened only while it is still that, never through a link swapped in since.
QuarryDescriptor openResolved(const QByteArray& path, int flags);

// A regular file at a fully resolved path, opened as openResolved opens it, with its status, ready for
// blocking reads; empty for anything else (a FIFO or device could block or never end).
QuarryDescriptor openRegularFile(const QString& resolvedPath, struct stat& status);

// One entry of an open folder, by its name, never through a link.
QuarryDescriptor openEntry(int folderDescriptor, const char* name, int flags);

// For tests: with false, every open walks as it must where openat2 is missing.
void setOpenat2Allowed(bool allowed);

} // namespace QuarryBeneath
