#include "server/media/thumbnails.h"

#include "server/files/beneath.h"

#include <QFile>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

HTTPResponse thumbnailResponse(const QuarryThumbnail& thumbnail) {
    return HTTPResponse::fileBytes(thumbnail.bytes, thumbnail.contentType);
}

std::optional<QuarryThumbnail> thumbnailOf(const QuarryDescriptor& file, QuarryRendition rendition,
                                           const std::atomic_bool* cancelled = nullptr) {
    QFile device;
    if (!device.open(file.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    return QuarryThumbnailMaker::make(&device, rendition, cancelled);
}

// Each picture of a file has a name of its own in the cache; a thumbnail's is the file's key itself.
QString keyOf(const QString& location, const struct stat& status, QuarryRendition rendition) {
    const QString key = QuarryThumbnailCache::keyFor(location, status);
    switch (rendition) {
    case QuarryRendition::thumbnail:
        break;
    case QuarryRendition::display:
        return key + QStringLiteral("-display");
    case QuarryRendition::whole:
        return key + QStringLiteral("-whole");
    }
    return key;
}

} // namespace

QuarryThumbnails::QuarryThumbnails(const QString& cacheFolder, qint64 cacheCapacity, int threads)
    : m_cache(cacheFolder, cacheCapacity)
    , m_work(threads) {}

HTTPResponse QuarryThumbnails::none() {
    // A short answer: rows ask for many thumbnails, and a 404 only tells the client to keep its icon.
    return HTTPResponse::notFound(QStringLiteral("<h1>Not Found</h1><p>No thumbnail for this item.</p>"));
}

HTTPResponse QuarryThumbnails::answerUncached(const QString& location, QuarryRendition rendition) {
    struct stat status {};
    const QuarryDescriptor file = QuarryBeneath::openRegularFile(location, status);
    if (!file.isOpen())
        return none();
    const std::optional<QuarryThumbnail> thumbnail = thumbnailOf(file, rendition);
    return thumbnail ? thumbnailResponse(*thumbnail) : none();
}

HTTPResponse QuarryThumbnails::answer(const QString& location, QuarryRendition rendition) {
    struct stat status {};
    // Closed with the last job holding it, run or dropped.
    auto file = std::make_shared<QuarryDescriptor>(QuarryBeneath::openRegularFile(location, status));
    if (!file->isOpen())
        return none();
    // Keyed by what was opened, so a file replaced meanwhile is never served another's thumbnail.
    const QString key = keyOf(location, status, rendition);
    if (const std::optional<QuarryThumbnailCache::Entry> cached = m_cache.find(key)) {
        if (cached->descriptor < 0)
            return none();
        return HTTPResponse::file(std::make_shared<QuarryHTTPFileBody>(cached->descriptor, cached->length),
                                  cached->contentType);
    }
    QuarryThumbnailCache* cache = &m_cache;
    return m_flights.answer(key, [&] {
        // A thumbnail nobody waits for any more is not worth making.
        return m_work.offload([file, key, cache, rendition](const std::atomic_bool& cancelled) {
            if (cancelled)
                return none();
            const std::optional<QuarryThumbnail> thumbnail = thumbnailOf(*file, rendition, &cancelled);
            // Given up while waiting for room to decode: not known to be undecodable, so not remembered.
            if (!thumbnail && cancelled)
                return none();
            cache->store(key, thumbnail ? thumbnail->bytes : QByteArray());
            return thumbnail ? thumbnailResponse(*thumbnail) : none();
        });
    });
}
