#pragma once

#include "core/share_records.h"

#include <QString>

#include <optional>

// The containment gate: where a visitor's path inside a share leads, and whether it stays inside. Every
// file a visitor reaches is found through it and then opened refusing links (beneath.h), so a link
// swapped in between leads nowhere.
namespace QuarryContainment {

// Where a share's folder really is, every link in its path resolved.
QString resolvedShareRoot(const QuarryFolderShare& share);

// The resolved location of relativePath inside the share, or nothing when it would leave the share's
// folder (through "..", a symbolic link, or a NUL that would cut the path short at the system call).
std::optional<QString> resolvedURL(const QuarryFolderShare& share, const QString& relativePath);
// The same beneath a root that is resolved already.
std::optional<QString> resolvedBeneath(const QString& root, const QString& relativePath);

// Where a resolved path lies below a resolved root ("" for the root itself), without resolving either
// again; nothing when it is not below it.
std::optional<QString> relativeToResolved(const QString& resolved, const QString& root);

} // namespace QuarryContainment
