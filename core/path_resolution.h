#pragma once

#include <QString>

#include <optional>

// Where a path really leads, and whether it stays inside a folder: the containment the server checks
// every file access against.
namespace QuarryShareUtilities {

// The absolute, lexically cleaned form of a path ("." and ".." removed, no trailing "/"),
// with every symbolic link in it resolved as far as the path exists. The part past the first
// missing component is appended as it stands; a dangling link is replaced by its target text.
QString resolvedPath(const QString& path);
// resolvedPath of resolvedBase + "/" + relative, for a base that is resolved already (its own
// components are not read again).
QString resolvedPathBelow(const QString& resolvedBase, const QString& relative);

// The location of path relative to rootPath after both were cleaned and resolved: "" when they are the
// same folder, the rest after "root/" when path lies inside the root, nothing otherwise.
std::optional<QString> relativePath(const QString& path, const QString& rootPath);

} // namespace QuarryShareUtilities
