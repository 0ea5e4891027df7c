#include "server/archives/checksum_cache.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStandardPaths>

#include <libdeflate.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bumped when checksums are keyed differently.
constexpr char kKeyVersion[] = "checksum-1\n";
constexpr char kMagic[] = "brightloom checksums 1\n";
constexpr qint64 kHeaderBytes = 64;
constexpr qint64 kSlots = 4;
constexpr qint64 kRecordBytes = 32;
constexpr qint64 kBuckets = 1 << 17;
constexpr qint64 kTableBytes = kHeaderBytes + kBuckets * kSlots * kRecordBytes;

// A record: the key, the CRC, a check over both, and when it was stored.
struct Record {
    QuarryChecksumCache::Key key{};
    quint32 crc = 0;
    quint32 check = 0;
    quint64 stored = 0;
};
static_assert(sizeof(Record) == kRecordBytes);

quint32 checkOf(const Record& record) {
    unsigned char bytes[20];
    std::memcpy(bytes, record.key.data(), 16);
    std::memcpy(bytes + 16, &record.crc, 4);
    // Never the check of an empty record.
    return static_cast<quint32>(libdeflate_crc32(0, bytes, sizeof bytes)) ^ 0x5BD1E995u;
}

bool isValid(const Record& record) {
    return record.stored != 0 && record.check == checkOf(record);
}

qint64 bucketOffset(const QuarryChecksumCache::Key& key) {
    quint32 index = 0;
    std::memcpy(&index, key.data(), sizeof index);
    return kHeaderBytes + (index % kBuckets) * kSlots * kRecordBytes;
}

bool makeFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) == 0)
        return true;
    struct stat status {};
    return errno == EEXIST && ::lstat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool readWhole(int descriptor, void* into, qint64 size, qint64 offset) {
    return ::pread(descriptor, into, static_cast<size_t>(size), offset) == size;
}

} // namespace

QuarryChecksumCache::QuarryChecksumCache(QString path)
    : m_path(std::move(path)) {}

QuarryChecksumCache::~QuarryChecksumCache() {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

QString QuarryChecksumCache::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/brightloom Share/checksums");
}

QuarryChecksumCache::Key QuarryChecksumCache::keyFor(const QByteArray& path, qint64 size,
                                                     qint64 modifiedNanoseconds, qint64 changedNanoseconds,
                                                     quint64 inode) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(kKeyVersion, sizeof kKeyVersion - 1));
    hash.addData(path);
    hash.addData(QByteArray("\n") + QByteArray::number(size) + ' ' + QByteArray::number(modifiedNanoseconds) +
                 ' ' + QByteArray::number(changedNanoseconds) + ' ' + QByteArray::number(inode));
    Key key{};
    std::memcpy(key.data(), hash.resultView().data(), key.size());
    return key;
}

int QuarryChecksumCache::table() {
    const std::lock_guard locker(m_lock);
    if (m_tried)
        return m_descriptor;
    m_tried = true;
    // Every missing folder on the way is made readable by the user only, as the thumbnails' are.
    const QByteArray path = QFile::encodeName(m_path);
    QByteArray folder;
    const QList<QByteArray> parts = path.split('/');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i].isEmpty())
            continue;
        folder += '/' + parts[i];
        if (!makeFolder(folder))
            return -1;
    }
    const int descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0)
        return -1;
    struct stat status {};
    char magic[sizeof kMagic] = {};
    const bool sound = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                       status.st_size == kTableBytes && readWhole(descriptor, magic, sizeof magic, 0) &&
                       std::memcmp(magic, kMagic, sizeof magic) == 0;
    // Anything else is a table of another version or a broken one: it starts again, empty and sparse.
    if (!sound && (::ftruncate(descriptor, 0) != 0 || ::ftruncate(descriptor, kTableBytes) != 0 ||
                   ::pwrite(descriptor, kMagic, sizeof kMagic, 0) != static_cast<ssize_t>(sizeof kMagic))) {
        ::close(descriptor);
        return -1;
    }
    m_descriptor = descriptor;
    return m_descriptor;
}

std::optional<quint32> QuarryChecksumCache::find(const Key& key) {
    const int descriptor = table();
    Record bucket[kSlots];
    if (descriptor < 0 || !readWhole(descriptor, bucket, sizeof bucket, bucketOffset(key)))
        return std::nullopt;
    for (const Record& record : bucket) {
        if (record.key == key && isValid(record))
            return record.crc;
    }
    return std::nullopt;
}

void QuarryChecksumCache::store(const Key& key, quint32 crc) {
    const int descriptor = table();
    Record bucket[kSlots];
    const qint64 offset = bucketOffset(key);
    if (descriptor < 0 || !readWhole(descriptor, bucket, sizeof bucket, offset))
        return;
    int slot = 0;
    for (int i = 0; i < kSlots; ++i) {
        if (bucket[i].key == key || !isValid(bucket[i])) {
            slot = i;
            break;
        }
        if (bucket[i].stored < bucket[slot].stored)
            slot = i;
    }
    Record record;
    record.key = key;
    record.crc = crc;
    record.check = checkOf(record);
    record.stored = static_cast<quint64>(qMax<time_t>(1, ::time(nullptr)));
    const ssize_t written = ::pwrite(descriptor, &record, sizeof record, offset + slot * kRecordBytes);
    Q_UNUSED(written);
}
