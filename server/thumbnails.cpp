#include "server/thumbnails.h"

#include "core/paths.h"
#include "server/browse_api.h"
#include "server/downloads.h"
#include "server/pages.h"
#include "server/previews.h"
#include "server/thumbnail_maker.h"

#include <QFile>
#include <QFileInfo>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A short answer: rows ask for many thumbnails, and a 404 only tells the client to keep its icon.
HTTPResponse noThumbnail() {
    return HTTPResponse::notFound(QStringLiteral("<h1>Not Found</h1><p>No thumbnail for this item.</p>"));
}

HTTPResponse thumbnailResponse(const QuarryThumbnail& thumbnail) {
    return HTTPResponse::fileBytes(thumbnail.bytes, thumbnail.contentType);
}

// An open descriptor that closes with the last job holding it, run or dropped.
struct OpenFile {
    explicit OpenFile(int opened)
        : descriptor(opened) {}
    ~OpenFile() { ::close(descriptor); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    const int descriptor;
};

std::optional<QuarryThumbnail> thumbnailOf(const OpenFile& file) {
    QFile device;
    if (!device.open(file.descriptor, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    return QuarryThumbnailMaker::make(&device);
}

} // namespace

QuarryThumbnails::QuarryThumbnails(const QString& cacheFolder, qint64 cacheCapacity, int threads)
    : m_cache(cacheFolder, cacheCapacity)
    , m_work(threads) {}

HTTPResponse QuarryThumbnails::answer(const QString& location) {
    struct stat status {};
    const int descriptor = QuarryShareWeb::openRegularFile(location, status);
    if (descriptor < 0)
        return noThumbnail();
    // Keyed by what was opened, so a file replaced meanwhile is never served another's thumbnail.
    auto file = std::make_shared<OpenFile>(descriptor);
    const QString key = QuarryThumbnailCache::keyFor(location, status);
    if (const std::optional<QuarryThumbnailCache::Entry> cached = m_cache.find(key)) {
        if (cached->descriptor < 0)
            return noThumbnail();
        return HTTPResponse::file(std::make_shared<HTTPFileBody>(cached->descriptor, cached->length),
                                  cached->contentType);
    }
    QuarryThumbnailCache* cache = &m_cache;
    // A thumbnail nobody waits for any more is not worth making.
    return m_work.offload(
        [file, key, cache](const std::atomic_bool& cancelled) {
            if (cancelled)
                return noThumbnail();
            const std::optional<QuarryThumbnail> thumbnail = thumbnailOf(*file);
            cache->store(key, thumbnail ? thumbnail->bytes : QByteArray());
            return thumbnail ? thumbnailResponse(*thumbnail) : noThumbnail();
        },
        true);
}

namespace QuarryShareWeb {

HTTPResponse handleThumbnail(const QuarryFolderShare& share, const QString& relativePath,
                             const QuarryShareServerSnapshot& snapshot, QuarryThumbnails* thumbnails) {
    const std::optional<QString> location = resolvedURL(share, relativePath);
    const QFileInfo info(location.value_or(QString()));
    if (!location || !info.exists())
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    // Anything that is not named as an image is turned away before a byte of it is read.
    if (info.isDir() || !mayHaveThumbnail(lastPathComponent(*location)))
        return noThumbnail();
    if (thumbnails)
        return thumbnails->answer(*location);
    struct stat status {};
    const int descriptor = QuarryShareWeb::openRegularFile(*location, status);
    if (descriptor < 0)
        return noThumbnail();
    const std::optional<QuarryThumbnail> thumbnail = thumbnailOf(OpenFile(descriptor));
    return thumbnail ? thumbnailResponse(*thumbnail) : noThumbnail();
}

} // namespace QuarryShareWeb
