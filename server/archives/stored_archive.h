#pragma once

#include "server/archives/archive_layout.h"
#include "server/archives/archive_stream.h"
#include "server/archives/stored_zip.h"

class QuarryChecksumCache;

// Writes the archive with a length, or any span of it, into a stream whose head has gone out.
namespace QuarryStoredArchive {

// Bytes first to last (both included) of the archive the layout describes, byte for byte what the
// whole archive holds there. Before the first of them, the CRC of every earlier file the span needs (for
// the central directory) is taken from the checksums, or read; then large files go to the connection
// straight from the disk while their CRC is read beside them, small ones through memory. Each file is
// opened beneath the share's folder at its turn and must still be what the layout found, to its size,
// times and inode, until its last byte has gone out: otherwise the stream fails and the connection is
// cut before the promised length, never sending a padded or short entry as whole. Every CRC read is
// kept in checksums (none: nothing is kept).
void write(QuarryArchiveLayout& layout, const QuarryStoredZIP::Geometry& geometry, qint64 first, qint64 last,
           QuarryArchiveStream& stream, QuarryChecksumCache* checksums);

} // namespace QuarryStoredArchive
