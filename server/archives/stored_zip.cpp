#include "server/archives/stored_zip.h"

#include <QCryptographicHash>

#include <ctime>
#include <sys/stat.h>

namespace {

using Entry = QuarryArchiveLayout::Entry;

constexpr qint64 kLocalHeaderBytes = 30;
constexpr qint64 kCentralHeaderBytes = 46;
// The extended timestamp field: its tag and size, a flags byte and 32 bits of UTC seconds.
constexpr qint64 kTimestampBytes = 9;
// The ZIP64 field of a local header: its tag and size, and both sizes.
constexpr qint64 kLocalZIP64Bytes = 20;
constexpr qint64 kDescriptorBytes = 16;
constexpr qint64 kZIP64DescriptorBytes = 24;
constexpr qint64 kEndBytes = 22;
constexpr qint64 kZIP64EndBytes = 56;
constexpr qint64 kZIP64LocatorBytes = 20;
constexpr qint64 k32BitLimit = 0xFFFFFFFF;
constexpr qint64 k16BitLimit = 0xFFFF;
// Version 4.5, which knows ZIP64; 2.0 for everything else; made on Unix.
constexpr quint16 kVersionZIP64 = 45;
constexpr quint16 kVersionPlain = 20;
constexpr quint16 kMadeBy = (3 << 8) | kVersionZIP64;
// Bit 3: CRC and sizes follow the data; bit 11: the name is UTF-8.
constexpr quint16 kFlagDescriptor = 0x0008;
constexpr quint16 kFlagUTF8 = 0x0800;
// Bumped whenever the same layout would be written differently, so old tags no longer match.
constexpr char kTagVersion[] = "stored-zip-1\n";

class LittleEndian {
public:
    explicit LittleEndian(qint64 reserve) { m_bytes.reserve(reserve); }
    LittleEndian& u16(quint64 value) { return put(value, 2); }
    LittleEndian& u32(quint64 value) { return put(value, 4); }
    LittleEndian& u64(quint64 value) { return put(value, 8); }
    LittleEndian& bytes(QByteArrayView view) {
        m_bytes.append(view);
        return *this;
    }
    QByteArray take() { return std::move(m_bytes); }

private:
    LittleEndian& put(quint64 value, int size) {
        for (int i = 0; i < size; ++i)
            m_bytes.append(static_cast<char>((value >> (8 * i)) & 0xFF));
        return *this;
    }
    QByteArray m_bytes;
};

bool hasLargeSize(const Entry& entry) {
    return entry.size >= k32BitLimit;
}

bool needsZIP64(const Entry& entry) {
    return hasLargeSize(entry) || entry.offset >= k32BitLimit;
}

qint64 localHeaderSize(const Entry& entry) {
    return kLocalHeaderBytes + entry.pathLength + kTimestampBytes +
           (hasLargeSize(entry) ? kLocalZIP64Bytes : 0);
}

qint64 descriptorSize(const Entry& entry) {
    if (entry.isFolder())
        return 0;
    return hasLargeSize(entry) ? kZIP64DescriptorBytes : kDescriptorBytes;
}

// The ZIP64 field of the central directory: the values too large for their own fields, in order.
qint64 centralZIP64Size(const Entry& entry) {
    const int fields = (hasLargeSize(entry) ? 2 : 0) + (entry.offset >= k32BitLimit ? 1 : 0);
    return fields ? 4 + 8 * fields : 0;
}

// The modification time as MS-DOS keeps it: local time, from 1980 to 2107, in two-second steps.
quint32 dosDateTime(qint64 seconds) {
    const time_t moment = static_cast<time_t>(seconds);
    struct tm parts {};
    if (!::localtime_r(&moment, &parts) || parts.tm_year + 1900 < 1980)
        return (1 << 5 | 1) << 16; // 1980-01-01 00:00
    if (parts.tm_year + 1900 > 2107)
        return quint32((127 << 9) | (12 << 5) | 31) << 16 | (23 << 11) | (59 << 5) | 29;
    const quint32 date = ((parts.tm_year + 1900 - 1980) << 9) | ((parts.tm_mon + 1) << 5) | parts.tm_mday;
    const quint32 time = (parts.tm_hour << 11) | (parts.tm_min << 5) | (qMin(parts.tm_sec, 59) / 2);
    return date << 16 | time;
}

// UTC seconds as the extended timestamp field holds them: a signed 32-bit number.
quint32 timestampSeconds(const Entry& entry) {
    return static_cast<quint32>(qBound<qint64>(0, entry.modifiedSeconds(), qint64(0x7FFFFFFF)));
}

quint16 flagsOf(const Entry& entry) {
    return entry.isFolder() ? kFlagUTF8 : kFlagUTF8 | kFlagDescriptor;
}

quint16 versionOf(const Entry& entry) {
    return needsZIP64(entry) ? kVersionZIP64 : kVersionPlain;
}

quint32 externalAttributes(const Entry& entry) {
    const quint32 permissions = entry.mode & 0777;
    if (entry.isFolder())
        return (quint32(S_IFDIR | permissions) << 16) | 0x10;
    return quint32(S_IFREG | permissions) << 16;
}

void timestampField(LittleEndian& out, const Entry& entry) {
    out.u16(0x5455).u16(5).bytes(QByteArrayView("\x01", 1)).u32(timestampSeconds(entry));
}

} // namespace

namespace QuarryStoredZIP {

Geometry place(QuarryArchiveLayout& layout) {
    Geometry geometry;
    qint64 offset = 0;
    for (Entry& entry : layout.entries()) {
        entry.offset = offset;
        offset = recordEnd(entry);
        geometry.centralDirectorySize += centralRecordSize(entry);
    }
    geometry.centralDirectoryOffset = offset;
    const bool zip64 = static_cast<qint64>(layout.entries().size()) >= k16BitLimit ||
                       geometry.centralDirectoryOffset >= k32BitLimit ||
                       geometry.centralDirectorySize >= k32BitLimit;
    geometry.length = offset + geometry.centralDirectorySize + kEndBytes +
                      (zip64 ? kZIP64EndBytes + kZIP64LocatorBytes : 0);
    return geometry;
}

qint64 dataOffset(const Entry& entry) {
    return entry.offset + localHeaderSize(entry);
}

qint64 recordEnd(const Entry& entry) {
    return dataOffset(entry) + entry.size + descriptorSize(entry);
}

QByteArray localHeader(const QuarryArchiveLayout& layout, size_t index) {
    const Entry& entry = layout.entries()[index];
    const bool large = hasLargeSize(entry);
    LittleEndian out(localHeaderSize(entry));
    out.u32(0x04034b50)
        .u16(versionOf(entry))
        .u16(flagsOf(entry))
        .u16(0)
        .u32(dosDateTime(entry.modifiedSeconds()));
    // CRC and sizes are in the data descriptor; a ZIP64 header says so with both sizes at their limit.
    out.u32(0).u32(large ? k32BitLimit : 0).u32(large ? k32BitLimit : 0);
    out.u16(entry.pathLength).u16(kTimestampBytes + (large ? kLocalZIP64Bytes : 0));
    out.bytes(layout.archiveName(index));
    if (large)
        out.u16(0x0001).u16(16).u64(0).u64(0);
    timestampField(out, entry);
    return out.take();
}

QByteArray dataDescriptor(const Entry& entry) {
    LittleEndian out(kZIP64DescriptorBytes);
    out.u32(0x08074b50).u32(entry.crc);
    if (hasLargeSize(entry))
        out.u64(static_cast<quint64>(entry.size)).u64(static_cast<quint64>(entry.size));
    else
        out.u32(static_cast<quint64>(entry.size)).u32(static_cast<quint64>(entry.size));
    return out.take();
}

qint64 centralRecordSize(const Entry& entry) {
    return kCentralHeaderBytes + entry.pathLength + kTimestampBytes + centralZIP64Size(entry);
}

QByteArray centralRecord(const QuarryArchiveLayout& layout, size_t index) {
    const Entry& entry = layout.entries()[index];
    const bool large = hasLargeSize(entry);
    const bool far = entry.offset >= k32BitLimit;
    const quint64 size = large ? k32BitLimit : static_cast<quint64>(entry.size);
    LittleEndian out(centralRecordSize(entry));
    out.u32(0x02014b50).u16(kMadeBy).u16(versionOf(entry)).u16(flagsOf(entry)).u16(0);
    out.u32(dosDateTime(entry.modifiedSeconds())).u32(entry.crc).u32(size).u32(size);
    out.u16(entry.pathLength).u16(kTimestampBytes + centralZIP64Size(entry)).u16(0).u16(0).u16(0);
    out.u32(externalAttributes(entry)).u32(far ? k32BitLimit : static_cast<quint64>(entry.offset));
    out.bytes(layout.archiveName(index));
    if (const qint64 zip64 = centralZIP64Size(entry)) {
        out.u16(0x0001).u16(zip64 - 4);
        if (large)
            out.u64(static_cast<quint64>(entry.size)).u64(static_cast<quint64>(entry.size));
        if (far)
            out.u64(static_cast<quint64>(entry.offset));
    }
    timestampField(out, entry);
    return out.take();
}

QByteArray endRecords(const Geometry& geometry, qint64 entryCount) {
    const bool zip64 = entryCount >= k16BitLimit || geometry.centralDirectoryOffset >= k32BitLimit ||
                       geometry.centralDirectorySize >= k32BitLimit;
    LittleEndian out(kZIP64EndBytes + kZIP64LocatorBytes + kEndBytes);
    if (zip64) {
        const qint64 recordOffset = geometry.centralDirectoryOffset + geometry.centralDirectorySize;
        out.u32(0x06064b50).u64(kZIP64EndBytes - 12).u16(kMadeBy).u16(kVersionZIP64).u32(0).u32(0);
        out.u64(static_cast<quint64>(entryCount)).u64(static_cast<quint64>(entryCount));
        out.u64(static_cast<quint64>(geometry.centralDirectorySize));
        out.u64(static_cast<quint64>(geometry.centralDirectoryOffset));
        out.u32(0x07064b50).u32(0).u64(static_cast<quint64>(recordOffset)).u32(1);
    }
    const quint64 count = static_cast<quint64>(qMin(entryCount, k16BitLimit));
    out.u32(0x06054b50).u16(0).u16(0).u16(count).u16(count);
    out.u32(static_cast<quint64>(qMin(geometry.centralDirectorySize, k32BitLimit)));
    out.u32(static_cast<quint64>(qMin(geometry.centralDirectoryOffset, k32BitLimit)));
    out.u16(0);
    return out.take();
}

QString entityTag(const QuarryArchiveLayout& layout, const Geometry& geometry) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(kTagVersion, sizeof kTagVersion - 1));
    hash.addData(QByteArray::number(geometry.length) + '\n');
    const auto& entries = layout.entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        // What the file was when walked, and its whole name in the archive.
        LittleEndian record(96);
        record.u32(entry.parent).u16(entry.mode).u64(static_cast<quint64>(entry.size));
        record.u64(static_cast<quint64>(entry.modified)).u64(static_cast<quint64>(entry.changed));
        record.u64(entry.inode).u64(entry.device).u32(dosDateTime(entry.modifiedSeconds()));
        record.u16(entry.pathLength);
        hash.addData(record.take());
        hash.addData(layout.archiveName(i));
    }
    return QLatin1Char('"') + QString::fromLatin1(hash.result().toHex().left(32)) + QLatin1Char('"');
}

} // namespace QuarryStoredZIP
