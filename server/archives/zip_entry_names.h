#pragma once

#include <QByteArray>

#include <vector>

// The names entries take in an archive. ZIP knows "/" as its only separator, but extractors on Windows
// also read "\" as one, and control characters in a name can forge lines in a terminal or a log: both
// become "_" in the entry's name (the file's content is unchanged). Names are UTF-8 throughout.
namespace QuarryZIPNames {

// The name with every "\" and control character (U+0000 to U+001F, U+007F to U+009F) made "_".
QByteArray sanitized(const QByteArray& name);

// The name with " (number)" before its extension: "photo (2).jpg", ".profile (2)", "notes (2)".
QByteArray numbered(const QByteArray& name, int number);

// The entry names of one folder's entries, given by their names on disk in the archive's order. A name
// that needs no change keeps it; a changed name takes the first of its sanitized form, " (2)", " (3)", …
// that no other entry of the folder holds, so two names that become the same are both kept.
std::vector<QByteArray> forFolder(const std::vector<QByteArray>& names);

} // namespace QuarryZIPNames
