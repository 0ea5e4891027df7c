#pragma once

#include "server/files/descriptor.h"
#include "server/http/http_response.h"
#include "server/media/decode_flights.h"
#include "server/media/thumbnail_cache.h"
#include "server/media/thumbnail_maker.h"
#include "server/work/work_pool.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

// The thumbnail form of an image file's URL (?thumb=1), its display rendition (?preview=1) and, for a
// photo a browser cannot show, the whole picture as a JPEG. They are made on a few threads of their
// own, so a folder of thousands of photos opened at once never holds up the server thread or the other
// work of the server, and kept in one cache on disk.
// Threads: answer runs on the server thread; decoding runs on the pool; the cache serves both.
class QuarryThumbnails {
public:
    QuarryThumbnails(const QString& cacheFolder, qint64 cacheCapacity, int threads);

    // The picture of the regular file at a fully resolved location: from the cache at once, or made on
    // the pool, once for every request that asks while it is made; 404 when the file is no image that
    // can be decoded.
    HTTPResponse answer(const QString& location, QuarryRendition rendition = QuarryRendition::thumbnail);

    // A video's frame as the rendition, or with Purpose::facts its facts as JSON, made by guarded
    // children on the pool; 404 when the file holds no video they can read.
    enum class Purpose { frame, facts };
    HTTPResponse answerVideo(const QString& location, QuarryRendition rendition = QuarryRendition::thumbnail,
                             Purpose purpose = Purpose::frame);

    // The video as a stream every browser plays (?play=1), from `from` seconds on. One stream per
    // visitor (by network) and one per core at a time: past that 503 with a Retry-After; 404 when the
    // file holds no video the tools can read.
    HTTPResponse answerStream(const QString& location, double from, const QString& visitor);

    // The picture made right here, without a cache.
    static HTTPResponse answerUncached(const QString& location,
                                       QuarryRendition rendition = QuarryRendition::thumbnail);
    // The answer when there is no thumbnail to give.
    static HTTPResponse none();

    QuarryThumbnailCache& cache() { return m_cache; }

private:
    using Maker = std::function<std::optional<QuarryThumbnail>(const QuarryDescriptor& file,
                                                               const std::atomic_bool& cancelled)>;
    // From the cache under the file's key for the rendition (none: a video's facts), or made on the pool.
    HTTPResponse answerMade(const QString& location, std::optional<QuarryRendition> rendition, Maker make);

    struct StreamSlots;

    QuarryThumbnailCache m_cache;
    QuarryWorkPool m_work;
    std::shared_ptr<StreamSlots> m_streams;
    QuarryDecodeFlights m_flights;
};
