#pragma once

#include "server/archives/archive_layout.h"

#include <QByteArray>
#include <QString>

// The ZIP archive with a length: every entry stored as it is, so that every byte's place follows from
// the layout alone before the first one is sent. Per file: a local header (CRC and sizes left to the
// data descriptor, a ZIP64 extra field when its size needs one), its bytes, a data descriptor with its
// CRC-32 (64-bit sizes after a ZIP64 header); per folder a local header alone; then the central
// directory, and the ZIP64 end records when the entries' count, the directory's size or its offset needs
// them. Names are flagged UTF-8; times are given as DOS times of this computer's zone and as UTC seconds
// in an extended timestamp field.
namespace QuarryStoredZIP {

struct Geometry {
    qint64 centralDirectoryOffset = 0;
    qint64 centralDirectorySize = 0;
    // Of the whole archive.
    qint64 length = 0;
};

// Sets each entry's offset and answers the archive's geometry.
Geometry place(QuarryArchiveLayout& layout);

// Where the entry's bytes begin, and where its record (descriptor included) ends.
qint64 dataOffset(const QuarryArchiveLayout::Entry& entry);
qint64 recordEnd(const QuarryArchiveLayout::Entry& entry);

QByteArray localHeader(const QuarryArchiveLayout& layout, size_t index);
// After a file's bytes; needs its CRC.
QByteArray dataDescriptor(const QuarryArchiveLayout::Entry& entry);
qint64 centralRecordSize(const QuarryArchiveLayout::Entry& entry);
// Needs the entry's CRC.
QByteArray centralRecord(const QuarryArchiveLayout& layout, size_t index);
// The end of the central directory, with the ZIP64 end records before it when they are needed.
QByteArray endRecords(const Geometry& geometry, qint64 entryCount);

// A strong entity tag of the archive: a digest of every entry's name, size, times, identity and mode
// as the layout has them, so anything that would change a byte of the archive changes the tag.
QString entityTag(const QuarryArchiveLayout& layout, const Geometry& geometry);

} // namespace QuarryStoredZIP
