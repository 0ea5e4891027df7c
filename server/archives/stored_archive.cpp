#include "server/archives/stored_archive.h"

#include "core/diagnostics.h"
#include "server/archives/checksum_cache.h"
#include "server/files/beneath.h"

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Entry = QuarryArchiveLayout::Entry;

constexpr qsizetype kReadSize = 256 * 1024;
// Files up to this size go through memory, read once for their CRC and their bytes; larger ones are sent
// from the disk while their CRC is read beside them.
constexpr qint64 kSmallFile = 256 * 1024;

class StoredWriter {
public:
    StoredWriter(QuarryArchiveLayout& layout, const QuarryStoredZIP::Geometry& geometry, qint64 first,
                 qint64 last, QuarryArchiveStream& stream, QuarryChecksumCache* checksums)
        : m_layout(layout)
        , m_entries(layout.entries())
        , m_geometry(geometry)
        , m_first(first)
        , m_last(last)
        , m_stream(stream)
        , m_checksums(checksums) {}

    bool run() {
        m_root = QuarryBeneath::openResolved(m_layout.rootPath(), O_RDONLY | O_DIRECTORY);
        if (!m_root.isOpen())
            return failed(QStringLiteral("its share's folder cannot be opened"));
        // The CRCs the span needs of files before it, known before its first byte.
        const bool directory = m_last >= m_geometry.centralDirectoryOffset;
        for (size_t i = 0; i < m_entries.size() && m_entries[i].offset < m_first; ++i) {
            Entry& entry = m_entries[i];
            const bool descriptorInSpan = QuarryStoredZIP::recordEnd(entry) > m_first;
            if (!entry.isFolder() && (directory || descriptorInSpan) && !knownCRC(i) && !readCRC(i))
                return false;
        }
        const auto after =
            std::upper_bound(m_entries.begin(), m_entries.end(), m_first,
                             [](qint64 offset, const Entry& entry) { return offset < entry.offset; });
        for (size_t i = after == m_entries.begin() ? 0 : size_t(after - m_entries.begin()) - 1;
             i < m_entries.size() && m_entries[i].offset <= m_last; ++i) {
            Entry& entry = m_entries[i];
            if (QuarryStoredZIP::recordEnd(entry) <= m_first)
                continue;
            if (!put(entry.offset, QuarryStoredZIP::localHeader(m_layout, i)))
                return false;
            if (entry.isFolder())
                continue;
            if (!content(i))
                return false;
            const qint64 end = QuarryStoredZIP::dataOffset(entry) + entry.size;
            if (end <= m_last && !put(end, QuarryStoredZIP::dataDescriptor(entry)))
                return false;
        }
        return !directory || centralDirectory();
    }

    const QString& problem() const { return m_problem; }

private:
    bool centralDirectory() {
        qint64 at = m_geometry.centralDirectoryOffset;
        for (size_t i = 0; i < m_entries.size() && at <= m_last; ++i) {
            const qint64 size = QuarryStoredZIP::centralRecordSize(m_entries[i]);
            if (at + size > m_first && !put(at, QuarryStoredZIP::centralRecord(m_layout, i)))
                return false;
            at += size;
        }
        return put(at, QuarryStoredZIP::endRecords(m_geometry, static_cast<qint64>(m_entries.size())));
    }

    // Hands over the part of bytes, which lie at offset `at` of the archive, that falls in the span.
    bool put(qint64 at, QByteArrayView bytes) {
        const qint64 begin = qMax(at, m_first);
        const qint64 end = qMin(at + bytes.size(), m_last + 1);
        if (begin >= end)
            return !m_stream.isCancelled();
        return m_stream.write(bytes.data() + (begin - at), end - begin) || cancelled();
    }

    // A file's bytes that fall in the span, and its CRC when its descriptor does.
    bool content(size_t index) {
        Entry& entry = m_entries[index];
        const qint64 data = QuarryStoredZIP::dataOffset(entry);
        const qint64 begin = qMax(data, m_first) - data;
        const qint64 end = qMin(data + entry.size, m_last + 1) - data;
        const bool needsCRC = data + entry.size <= m_last && !knownCRC(index);
        QuarryDescriptor file = open(index);
        if (!file.isOpen())
            return false;
        if (entry.size <= kSmallFile) {
            // Read once: the CRC is of the very bytes that are sent.
            const qint64 from = needsCRC ? 0 : begin;
            const qint64 to = needsCRC ? entry.size : qMax(begin, end);
            QByteArray bytes(to - from, Qt::Uninitialized);
            if (!readAt(file.get(), bytes.data(), from, bytes.size()) || !stillSame(index, file.get()))
                return false;
            if (needsCRC)
                remember(index, static_cast<quint32>(libdeflate_crc32(0, bytes.constData(), bytes.size())));
            return put(data + from, bytes);
        }
        std::shared_ptr<QuarryHTTPFileBody> span;
        if (begin < end) {
            span = std::make_shared<QuarryHTTPFileBody>(file.release(), end - begin, begin);
            // The connection checks the file once it has sent the span: only then is it known to have
            // been what the layout promised throughout.
            const QuarryArchiveLayout::Entry promised = entry;
            const QString name = QuarryArchiveLayout::printable(m_layout.archiveName(index));
            const QString archive = m_layout.displayName();
            const auto sentWhole = [span, promised, name, archive] {
                struct stat status {};
                if (::fstat(span->descriptor(), &status) == 0 &&
                    QuarryArchiveLayout::isUnchanged(promised, status))
                    return true;
                logDiagnostic(QStringLiteral("The archive of %1 was cut short: %2 changed while it was sent")
                                  .arg(archive, name));
                return false;
            };
            if (!m_stream.writeFile(span, sentWhole))
                return cancelled();
        }
        // The CRC is read beside the connection's sending, of the same open file.
        if (needsCRC) {
            const int descriptor = span ? span->descriptor() : file.get();
            const std::optional<quint32> crc = checksumOf(index, descriptor);
            if (!crc || !stillSame(index, descriptor))
                return false;
            remember(index, *crc);
        }
        return true;
    }

    bool knownCRC(size_t index) {
        Entry& entry = m_entries[index];
        if (entry.hasCRC)
            return true;
        if (entry.size == 0) {
            entry.hasCRC = true;
            entry.crc = 0;
            return true;
        }
        if (!m_checksums)
            return false;
        if (const std::optional<quint32> crc = m_checksums->find(keyOf(index))) {
            entry.crc = *crc;
            entry.hasCRC = true;
        }
        return entry.hasCRC;
    }

    // A file before the span: its CRC read without sending anything.
    bool readCRC(size_t index) {
        const QuarryDescriptor file = open(index);
        if (!file.isOpen())
            return false;
        const std::optional<quint32> crc = checksumOf(index, file.get());
        if (!crc || !stillSame(index, file.get()))
            return false;
        remember(index, *crc);
        return true;
    }

    std::optional<quint32> checksumOf(size_t index, int descriptor) {
        const qint64 size = m_entries[index].size;
        if (m_buffer.isEmpty())
            m_buffer.resize(kReadSize);
        quint32 crc = 0;
        for (qint64 done = 0; done < size;) {
            if (m_stream.isCancelled()) {
                cancelled();
                return std::nullopt;
            }
            const qint64 wanted = qMin<qint64>(kReadSize, size - done);
            if (!readAt(descriptor, m_buffer.data(), done, wanted)) {
                changed(index);
                return std::nullopt;
            }
            crc = static_cast<quint32>(
                libdeflate_crc32(crc, m_buffer.constData(), static_cast<size_t>(wanted)));
            done += wanted;
        }
        return crc;
    }

    void remember(size_t index, quint32 crc) {
        Entry& entry = m_entries[index];
        entry.crc = crc;
        entry.hasCRC = true;
        if (m_checksums)
            m_checksums->store(keyOf(index), crc);
    }

    QuarryChecksumCache::Key keyOf(size_t index) const {
        const Entry& entry = m_entries[index];
        return QuarryChecksumCache::keyFor(m_layout.rootPath() + '/' + m_layout.sharePath(index), entry.size,
                                           entry.modified, entry.changed, entry.inode);
    }

    QuarryDescriptor open(size_t index) {
        QuarryDescriptor file = QuarryBeneath::openBeneath(
            m_root.get(), m_layout.rootPath(), m_layout.sharePath(index), O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (file.isOpen() && stillSame(index, file.get()))
            return file;
        changed(index);
        return QuarryDescriptor();
    }

    bool stillSame(size_t index, int descriptor) {
        struct stat status {};
        if (::fstat(descriptor, &status) == 0 && QuarryArchiveLayout::isUnchanged(m_entries[index], status))
            return true;
        return changed(index);
    }

    // Exactly size bytes at offset, or false (the file became shorter, or cannot be read).
    static bool readAt(int descriptor, char* into, qint64 offset, qint64 size) {
        for (qint64 done = 0; done < size;) {
            const ssize_t got =
                ::pread(descriptor, into + done, static_cast<size_t>(size - done), offset + done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += got;
        }
        return true;
    }

    bool changed(size_t index) {
        if (m_problem.isEmpty())
            m_problem = QuarryArchiveLayout::printable(m_layout.archiveName(index)) +
                        QStringLiteral(" changed or went away since the archive was laid out");
        return false;
    }

    bool cancelled() {
        if (m_problem.isEmpty())
            m_problem = QStringLiteral("the visitor left");
        m_visitorLeft = true;
        return false;
    }

    bool failed(const QString& why) {
        m_problem = why;
        return false;
    }

    QuarryArchiveLayout& m_layout;
    std::vector<Entry>& m_entries;
    const QuarryStoredZIP::Geometry& m_geometry;
    const qint64 m_first;
    const qint64 m_last;
    QuarryArchiveStream& m_stream;
    QuarryChecksumCache* m_checksums;
    QuarryDescriptor m_root;
    QByteArray m_buffer;
    QString m_problem;
    bool m_visitorLeft = false;

public:
    bool visitorLeft() const { return m_visitorLeft || m_stream.isCancelled(); }
};

} // namespace

namespace QuarryStoredArchive {

void write(QuarryArchiveLayout& layout, const QuarryStoredZIP::Geometry& geometry, qint64 first, qint64 last,
           QuarryArchiveStream& stream, QuarryChecksumCache* checksums) {
    StoredWriter writer(layout, geometry, first, last, stream, checksums);
    if (writer.run()) {
        stream.finish();
        return;
    }
    if (!writer.visitorLeft())
        logDiagnostic(QStringLiteral("The archive of %1 was cut short: %2")
                          .arg(layout.displayName(), writer.problem()));
    stream.fail();
}

} // namespace QuarryStoredArchive
