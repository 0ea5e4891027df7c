#include "server/media/thumbnails.h"

#include "server/files/beneath.h"
#include "server/media/video_facts.h"
#include "server/media/video_stream.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QThread>

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
QString keyOf(const QString& location, const struct stat& status, std::optional<QuarryRendition> rendition) {
    const QString key = QuarryThumbnailCache::keyFor(location, status);
    if (!rendition)
        return key + QStringLiteral("-facts");
    switch (*rendition) {
    case QuarryRendition::thumbnail:
        break;
    case QuarryRendition::display:
        return key + QStringLiteral("-display");
    case QuarryRendition::whole:
        return key + QStringLiteral("-whole");
    }
    return key;
}

// A video's facts, from the cache or from ffprobe (then kept).
std::optional<QByteArray> factsOf(QuarryThumbnailCache* cache, const QString& location,
                                  const QuarryDescriptor& file, const std::atomic_bool& cancelled) {
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        return std::nullopt;
    const QString key = keyOf(location, status, std::nullopt);
    if (const std::optional<QuarryThumbnailCache::Entry> cached = cache->find(key)) {
        const QuarryDescriptor kept(cached->descriptor);
        if (!kept.isOpen())
            return std::nullopt;
        QByteArray bytes(static_cast<qsizetype>(cached->length), '\0');
        if (::pread(kept.get(), bytes.data(), static_cast<size_t>(bytes.size()), 0) == cached->length)
            return bytes;
    }
    std::optional<QByteArray> facts = QuarryVideoFacts::probe(file.get(), &cancelled);
    if (!cancelled)
        cache->store(key, facts.value_or(QByteArray()));
    return facts;
}

} // namespace

struct QuarryThumbnails::StreamSlots {
    std::mutex lock;
    QHash<QString, int> perVisitor;
    int total = 0;
    const int most = qMax(1, QThread::idealThreadCount());

    // A token held while a stream runs; nothing when the visitor or the server has all it may.
    static std::shared_ptr<void> take(const std::shared_ptr<StreamSlots>& slots, const QString& visitor) {
        const std::lock_guard guard(slots->lock);
        if (slots->total >= slots->most || slots->perVisitor.value(visitor) > 0)
            return nullptr;
        ++slots->total;
        ++slots->perVisitor[visitor];
        return std::shared_ptr<void>(slots.get(), [slots, visitor](void*) {
            const std::lock_guard released(slots->lock);
            --slots->total;
            if (--slots->perVisitor[visitor] <= 0)
                slots->perVisitor.remove(visitor);
        });
    }
};

QuarryThumbnails::QuarryThumbnails(const QString& cacheFolder, qint64 cacheCapacity, int threads)
    : m_cache(cacheFolder, cacheCapacity)
    , m_work(threads)
    , m_streams(std::make_shared<StreamSlots>()) {}

HTTPResponse QuarryThumbnails::answerStream(const QString& location, double from, const QString& visitor) {
    struct stat status {};
    auto file = std::make_shared<QuarryDescriptor>(QuarryBeneath::openRegularFile(location, status));
    if (!file->isOpen())
        return none();
    std::shared_ptr<void> taken = StreamSlots::take(m_streams, visitor);
    if (!taken) {
        HTTPResponse busy =
            HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Too many streams")}}, 503);
        busy.headers.insert(QStringLiteral("Retry-After"), QStringLiteral("5"));
        return busy;
    }
    QuarryThumbnailCache* cache = &m_cache;
    return m_work.offload(
        [file, location, from, held = std::make_shared<std::shared_ptr<void>>(std::move(taken)),
         cache](const std::atomic_bool& cancelled) {
            // Held by the stream from here on, or given back with this answer: the job may outlive it.
            const std::shared_ptr<void> slot = std::exchange(*held, nullptr);
            const std::optional<QByteArray> facts = factsOf(cache, location, *file, cancelled);
            std::shared_ptr<QuarryVideoStream> stream =
                facts && !cancelled ? QuarryVideoStream::start(file->get(), *facts, from, slot) : nullptr;
            if (!stream)
                return HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("No video to play")}},
                                          404);
            HTTPResponse response = HTTPResponse::streamed(stream, QStringLiteral("video/mp4"));
            response.headers.insert(QStringLiteral("Content-Security-Policy"),
                                    QuarryHTTP::SharedFilePolicy::media);
            return response;
        },
        true);
}

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
    return answerMade(location, rendition,
                      [rendition](const QuarryDescriptor& file, const std::atomic_bool& cancelled) {
                          return thumbnailOf(file, rendition, &cancelled);
                      });
}

HTTPResponse QuarryThumbnails::answerVideo(const QString& location, QuarryRendition rendition,
                                           Purpose purpose) {
    // The frame needs the clip's length, so its facts are kept too: the client asks for both.
    QuarryThumbnailCache* cache = &m_cache;
    return answerMade(location,
                      purpose == Purpose::facts ? std::nullopt : std::optional<QuarryRendition>(rendition),
                      [cache, location, rendition, purpose](const QuarryDescriptor& file,
                                                            const std::atomic_bool& cancelled) {
                          const std::optional<QByteArray> facts = factsOf(cache, location, file, cancelled);
                          if (purpose == Purpose::facts || !facts) {
                              return facts ? std::optional<QuarryThumbnail>(
                                                 QuarryThumbnail{*facts, QStringLiteral("application/json")})
                                           : std::nullopt;
                          }
                          return QuarryVideoFacts::frame(file.get(), *facts, rendition, &cancelled);
                      });
}

HTTPResponse QuarryThumbnails::answerMade(const QString& location, std::optional<QuarryRendition> rendition,
                                          Maker make) {
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
        return m_work.offload(
            [file, key, cache, make = std::move(make)](const std::atomic_bool& cancelled) {
                if (cancelled)
                    return none();
                const std::optional<QuarryThumbnail> thumbnail = make(*file, cancelled);
                // Given up while waiting for room to decode, or its visitors went: not known to be
                // undecodable, so not remembered.
                if (!thumbnail && cancelled)
                    return none();
                cache->store(key, thumbnail ? thumbnail->bytes : QByteArray());
                return thumbnail ? thumbnailResponse(*thumbnail) : none();
            },
            true);
    });
}
