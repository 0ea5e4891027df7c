#pragma once

#include "server/archives/archive_stream.h"

#include <QByteArray>
#include <QString>

// Which folder an archive holds, and under what name.
struct QuarryFolderArchiveSpec {
    // The share's folder, fully resolved.
    QByteArray rootPath;
    // The folder inside the share ("" for the share's folder itself), fully resolved.
    QByteArray relativePath;
    // The name that every entry begins with.
    QByteArray entryName;
    // The folder's name as the log lines give it.
    QString displayName;
};

namespace QuarryFolderArchive {

// The most entries' worth of central directory one archive may gather (it stays in memory until the
// end of the archive); an archive that needs more ends unfinished, with a log line.
inline constexpr qint64 kMaxDirectoryBytes = 64 * 1024 * 1024;
// How deep folders are followed; deeper ones are left out with a log line.
inline constexpr int kMaxDepth = 64;

// Whether the folder opens as write would open it: what a HEAD request for its archive asks.
bool opens(const QuarryFolderArchiveSpec& job);

// Writes the folder's ZIP archive into the stream on the calling thread: start() once the folder is
// open, the entries as they are read, then finish(), or fail() whenever it cannot go on. Everything is
// opened beneath the share's folder, so nothing outside it can be read, whatever is swapped meanwhile.
// Links inside the share are followed (a link to a folder above is not); links that lead out, special
// files and entries that cannot be read are left out, the last with a log line.
void write(const QuarryFolderArchiveSpec& job, QuarryArchiveStream& stream);

} // namespace QuarryFolderArchive
