#include "server/media/thumbnail_cache.h"

#include "server/media/thumbnail_maker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// Bumped when thumbnails are made differently, so old ones are not served again.
constexpr char kKeyVersion[] = "thumbnail-1";
// A hit refreshes the thumbnail's time only when it is older than this, so serving stays a read.
constexpr time_t kTouchAfterSeconds = 3600;
// Trimming goes this far below the cap, so it runs now and then rather than on every store.
constexpr qint64 kTrimPercent = 90;
// What a file costs beyond its bytes, so that the empty files which record failures count too.
constexpr qint64 kEntryOverhead = 512;
// A temporary file this old was left by a run that ended while writing it.
constexpr time_t kStaleTemporarySeconds = 3600;

bool makeFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) == 0)
        return true;
    struct stat status {};
    return errno == EEXIST && ::lstat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool writeWhole(int descriptor, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::write(descriptor, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

struct CachedFile {
    QByteArray name;
    qint64 cost = 0;
    timespec used{};
};

// Every thumbnail in the folder; temporary files left behind by an ended run are removed on the way.
std::vector<CachedFile> cachedFiles(const QByteArray& folder) {
    std::vector<CachedFile> files;
    const auto closeFolder = [](DIR* open) { ::closedir(open); };
    std::unique_ptr<DIR, decltype(closeFolder)> listing(::opendir(folder.constData()), closeFolder);
    while (listing) {
        const dirent* entry = ::readdir(listing.get());
        if (!entry)
            break;
        struct stat status {};
        const int at = ::dirfd(listing.get());
        if (::fstatat(at, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (entry->d_name[0] == '.') {
            if (::time(nullptr) - status.st_mtim.tv_sec > kStaleTemporarySeconds)
                ::unlinkat(at, entry->d_name, 0);
            continue;
        }
        files.push_back({QByteArray(entry->d_name), static_cast<qint64>(status.st_size) + kEntryOverhead,
                         status.st_mtim});
    }
    return files;
}

} // namespace

QuarryThumbnailCache::QuarryThumbnailCache(QString folder, qint64 capacity)
    : m_folder(std::move(folder))
    , m_capacity(capacity) {}

QString QuarryThumbnailCache::defaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/brightloom Share/thumbnails");
}

QString QuarryThumbnailCache::keyFor(const QString& resolvedPath, const struct stat& status) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(kKeyVersion);
    hash.addData(QByteArrayView("\n", 1));
    hash.addData(QFile::encodeName(resolvedPath));
    const auto time = [](const timespec& moment) {
        return QByteArray::number(static_cast<qint64>(moment.tv_sec)) + '.' +
               QByteArray::number(static_cast<qint64>(moment.tv_nsec));
    };
    // The change time and the file's identity too: copies and synchronisation keep a modification
    // time, but a file replaced or rewritten always gets a new change time.
    hash.addData(QByteArray("\n") + QByteArray::number(static_cast<qint64>(status.st_size)) + ' ' +
                 time(status.st_mtim) + ' ' + time(status.st_ctim) + ' ' +
                 QByteArray::number(static_cast<quint64>(status.st_ino)));
    return QString::fromLatin1(hash.result().toHex());
}

std::optional<QuarryThumbnailCache::Entry> QuarryThumbnailCache::find(const QString& key) {
    const QByteArray path = QFile::encodeName(m_folder + QLatin1Char('/') + key);
    const int descriptor = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor < 0)
        return std::nullopt;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return std::nullopt;
    }
    if (::time(nullptr) - status.st_mtim.tv_sec > kTouchAfterSeconds)
        ::futimens(descriptor, nullptr);
    if (status.st_size == 0) {
        ::close(descriptor);
        return Entry{};
    }
    QByteArray head(12, '\0');
    const ssize_t got = ::pread(descriptor, head.data(), static_cast<size_t>(head.size()), 0);
    const QString type = QuarryThumbnailMaker::contentTypeOf(head.left(got > 0 ? got : 0));
    if (type.isEmpty()) {
        ::close(descriptor);
        return std::nullopt;
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return Entry{descriptor, static_cast<qint64>(status.st_size), type};
}

bool QuarryThumbnailCache::ensureFolder() {
    if (m_folderReady)
        return true;
    // Every missing folder on the way is made readable by the user only, as the base folders of the
    // cache location should be; the two folders of our own are set so even when they existed.
    const QString parent = m_folder.section(QLatin1Char('/'), 0, -2);
    QString path;
    for (const QString& part : m_folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        if (!makeFolder(QFile::encodeName(path)))
            return false;
    }
    for (const QString& own : {parent, m_folder})
        ::chmod(QFile::encodeName(own).constData(), 0700);
    m_folderReady = true;
    return true;
}

void QuarryThumbnailCache::store(const QString& key, const QByteArray& bytes) {
    const std::lock_guard locker(m_lock);
    if (!ensureFolder())
        return;
    if (m_total < 0) {
        m_total = 0;
        for (const CachedFile& file : cachedFiles(QFile::encodeName(m_folder)))
            m_total += file.cost;
    }
    // Written beside its final name and renamed into place, so a reader sees all of it or nothing.
    const QByteArray temporary = QFile::encodeName(m_folder + QStringLiteral("/.") +
                                                   QUuid::createUuid().toString(QUuid::WithoutBraces));
    const QByteArray target = QFile::encodeName(m_folder + QLatin1Char('/') + key);
    const int descriptor =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0)
        return;
    const bool written = writeWhole(descriptor, bytes);
    if (::close(descriptor) != 0 || !written || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return;
    }
    m_total += bytes.size() + kEntryOverhead;
    if (m_total > m_capacity)
        trim();
}

void QuarryThumbnailCache::trim() {
    std::vector<CachedFile> files = cachedFiles(QFile::encodeName(m_folder));
    std::sort(files.begin(), files.end(), [](const CachedFile& a, const CachedFile& b) {
        return a.used.tv_sec != b.used.tv_sec ? a.used.tv_sec < b.used.tv_sec
                                              : a.used.tv_nsec < b.used.tv_nsec;
    });
    m_total = 0;
    for (const CachedFile& file : files)
        m_total += file.cost;
    const qint64 goal = m_capacity / 100 * kTrimPercent;
    for (const CachedFile& file : files) {
        if (m_total <= goal)
            break;
        if (::unlink(QFile::encodeName(m_folder + QLatin1Char('/')).append(file.name).constData()) == 0)
            m_total -= file.cost;
    }
}
