#pragma once

#include <QByteArray>

// Opening a path inside a folder so that it cannot lead out of the folder at the moment it is opened,
// whatever is swapped for a symbolic link meanwhile: the check and the open are one step.
namespace QuarryBeneath {

// Opens path ("/"-separated, relative; "" for the folder itself) inside the folder open as
// rootDescriptor, which is the fully resolved folder rootPath. Symbolic links are followed while they
// stay inside: relative ones wherever they lead within, absolute ones when they name a place under
// rootPath. A path that would leave the folder fails with EXDEV, more than 40 links with ELOOP.
// flags are open(2) flags; O_CLOEXEC is always added. Returns the descriptor or -1 with errno set.
int openBeneath(int rootDescriptor, const QByteArray& rootPath, const QByteArray& path, int flags);

// The same, resolving every link itself by walking from the root one component at a time, each opened
// with O_NOFOLLOW beneath the last: the way when openat2 is missing, and for absolute links inside.
int openByWalking(int rootDescriptor, const QByteArray& rootPath, const QByteArray& path, int flags);

} // namespace QuarryBeneath
