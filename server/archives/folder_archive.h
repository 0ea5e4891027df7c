#pragma once

#include "server/archives/archive_layout.h"
#include "server/archives/archive_stream.h"

class QuarryChecksumCache;

// The deflated archive, asked for by compress=1: smaller for folders of documents, but without a length
// (chunked), so without ranges or resuming.
namespace QuarryFolderArchive {

// Writes the ZIP archive of a layout into the stream on the calling thread: start(head) once it could
// be begun, the entries in the layout's order as they are read, then finish(), or fail() whenever it
// cannot go on. Each file is opened beneath the share's folder at its turn and sent as it is then; one
// gone meanwhile is left out with a log line, one that shrinks while it is read ends the archive.
// Files whose name says their content is already compressed are stored, the others deflated. The CRC of
// each file still as the layout found it is kept in checksums (none: nothing is kept).
void write(const QuarryArchiveLayout& layout, QuarryArchiveStream& stream, HTTPResponse head,
           QuarryChecksumCache* checksums);

} // namespace QuarryFolderArchive
