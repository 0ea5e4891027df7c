#include "server/archives/zip_stream.h"

#include <QSet>
#include <QStringDecoder>

#include <archive.h>
#include <archive_entry.h>
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr qsizetype kReadSize = 256 * 1024;
// The UT extra field holds 32 bits of seconds, and libarchive's DOS date must stay within its range.
constexpr time_t kLatestTime = 0xFFFFFFFFLL;

la_ssize_t toStream(struct archive*, void* client, const void* buffer, size_t length) {
    // Once the stream is cancelled the bytes are dropped, not refused: libarchive leaks an entry's
    // compressor when a write fails in the middle of it. The walk stops at its next look.
    static_cast<QuarryArchiveStream*>(client)->write(static_cast<const char*>(buffer),
                                                     static_cast<qsizetype>(length));
    return static_cast<la_ssize_t>(length);
}

bool isUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    return !decoder.hasError();
}

struct EntryDeleter {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

} // namespace

QuarryZIPWriter::QuarryZIPWriter(QuarryArchiveStream& out)
    : m_out(out)
    , m_buffer(kReadSize, Qt::Uninitialized) {
    // libarchive flags a name as UTF-8 when the thread's character set is UTF-8: this thread switches
    // between a UTF-8 and a plain locale per entry, so only names that are UTF-8 carry the flag.
    m_utf8Locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    m_plainLocale = ::newlocale(LC_CTYPE_MASK, "C", nullptr);
    m_previousLocale = ::uselocale(nullptr);
}

QuarryZIPWriter::~QuarryZIPWriter() {
    if (m_archive)
        archive_write_free(m_archive);
    ::uselocale(m_previousLocale);
    if (m_utf8Locale)
        ::freelocale(m_utf8Locale);
    if (m_plainLocale)
        ::freelocale(m_plainLocale);
}

bool QuarryZIPWriter::open() {
    m_archive = archive_write_new();
    // No blocking: every write goes straight to the stream, and nothing pads the archive's end.
    return m_archive && archive_write_set_format_zip(m_archive) == ARCHIVE_OK &&
           archive_write_set_bytes_per_block(m_archive, 0) == ARCHIVE_OK &&
           archive_write_open(m_archive, &m_out, nullptr, toStream, nullptr) == ARCHIVE_OK;
}

bool QuarryZIPWriter::writeHeader(const QByteArray& name, unsigned int type, unsigned int mode,
                                  qint64 modified, qint64 size) {
    std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
    if (!entry)
        return false;
    archive_entry_set_pathname(entry.get(), name.constData());
    archive_entry_set_filetype(entry.get(), type);
    archive_entry_set_perm(entry.get(), mode & 0777);
    archive_entry_set_size(entry.get(), size);
    archive_entry_set_mtime(entry.get(), std::clamp<time_t>(modified, 0, kLatestTime), 0);
    const locale_t locale = isUtf8(name) ? m_utf8Locale : m_plainLocale;
    if (locale)
        ::uselocale(locale);
    const int written = archive_write_header(m_archive, entry.get());
    return written == ARCHIVE_OK || written == ARCHIVE_WARN;
}

bool QuarryZIPWriter::addFolder(const QByteArray& name, unsigned int mode, qint64 modified) {
    return writeHeader(name, AE_IFDIR, mode, modified, 0) &&
           archive_write_finish_entry(m_archive) == ARCHIVE_OK;
}

bool QuarryZIPWriter::addFile(const QByteArray& name, int descriptor, qint64 size, unsigned int mode,
                              qint64 modified, quint32& crc, QString& problem) {
    const int compression = isStoredAsIs(name) ? archive_write_zip_set_compression_store(m_archive)
                                               : archive_write_zip_set_compression_deflate(m_archive);
    if (compression != ARCHIVE_OK || !writeHeader(name, AE_IFREG, mode, modified, size))
        return false;
    crc = 0;
    qint64 done = 0;
    while (done < size && !m_out.isCancelled()) {
        const size_t wanted = static_cast<size_t>(qMin<qint64>(kReadSize, size - done));
        const ssize_t got = ::read(descriptor, m_buffer.data(), wanted);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // The header has promised `size` bytes: an archive that cannot keep that promise ends here.
            problem = got < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                              : QStringLiteral("it became shorter while it was read");
            return false;
        }
        crc = static_cast<quint32>(libdeflate_crc32(crc, m_buffer.constData(), static_cast<size_t>(got)));
        if (archive_write_data(m_archive, m_buffer.constData(), static_cast<size_t>(got)) < 0)
            return false;
        done += got;
    }
    return archive_write_finish_entry(m_archive) == ARCHIVE_OK;
}

bool QuarryZIPWriter::close() {
    return archive_write_close(m_archive) == ARCHIVE_OK;
}

QString QuarryZIPWriter::errorText() const {
    const char* text = m_archive ? archive_error_string(m_archive) : nullptr;
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("the archive could not be written");
}

bool QuarryZIPWriter::isStoredAsIs(const QByteArray& name) {
    static const QSet<QByteArray> suffixes{
        "jpg", "jpeg", "png", "gif", "webp", "heic", "heif", "avif", "mp4", "m4v", "mov", "mkv", "webm",
        "avi", "mp3",  "m4a", "aac", "ogg",  "opus", "flac", "zip",  "gz",  "tgz", "bz2", "xz",  "zst",
        "7z",  "rar",  "jar", "apk", "docx", "xlsx", "pptx", "odt",  "ods", "odp", "epub"};
    const qsizetype slash = name.lastIndexOf('/');
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= slash + 1)
        return false;
    return suffixes.contains(name.mid(dot + 1).toLower());
}
