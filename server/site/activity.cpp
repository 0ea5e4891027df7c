#include "server/site/activity.h"

#include "server/site/access.h"
#include "server/site/browse_api.h"
#include "server/site/download_request.h"

#include <QStringList>

namespace {

const QString kUnlockPrefix = QStringLiteral("/__unlock/");

// The API's folder or item: its "path" query item, slashes trimmed as the listings give them.
QString queriedPath(const HTTPRequest& request) {
    QString path = QuarryHTTP::queryParameters(request).value(QStringLiteral("path"));
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// The folder a thumbnail's picture is in: thumbnails are counted per folder, not per picture.
QString folderOf(const QString& relativePath) {
    const qsizetype slash = relativePath.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : relativePath.left(slash);
}

} // namespace

namespace QuarrySite {

QString viaName(QuarryHTTP::Via via) {
    switch (via) {
    case QuarryHTTP::Via::local:
        return QStringLiteral("local");
    case QuarryHTTP::Via::lan:
        return QStringLiteral("lan");
    case QuarryHTTP::Via::publicLink:
        return QStringLiteral("public");
    }
    return QStringLiteral("local");
}

std::optional<QuarryActivityEvent> activityOf(const HTTPRequest& request,
                                              const QuarryShareServerSnapshot& snapshot,
                                              const QuarryHTTP::Client& client) {
    const QString path = request.path();
    QString slug;
    QString kind;
    QString relativePath;
    const auto apiSlug = [&](const char* prefix) {
        const QLatin1String start(prefix);
        if (request.method != QLatin1String("GET") || !path.startsWith(start))
            return false;
        slug = path.mid(start.size());
        relativePath = queriedPath(request);
        return true;
    };
    if (request.method == QLatin1String("POST") && path.startsWith(kUnlockPrefix)) {
        slug = path.mid(kUnlockPrefix.size());
        kind = QStringLiteral("unlock");
    } else if (apiSlug("/__browse/")) {
        kind = QStringLiteral("listing");
    } else if (apiSlug("/__meta/")) {
        kind = QStringLiteral("metadata");
    } else if (apiSlug("/__search/")) {
        kind = QStringLiteral("search");
        relativePath.clear();
    } else if (path.startsWith(QLatin1String("/__"))) {
        return std::nullopt;
    } else {
        QStringList pieces = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (pieces.isEmpty())
            return std::nullopt;
        slug = pieces.takeFirst();
        relativePath = decodeRelativePath(pieces);
        const QMap<QString, QString> query = QuarryHTTP::queryParameters(request);
        const auto asked = [&](const char* key) {
            return query.value(QLatin1String(key)) == QLatin1String("1");
        };
        const DownloadRequest download = downloadRequestOf(request, query);
        if (download.download && download.picks) {
            kind = QStringLiteral("picks");
        } else if (download.download) {
            kind = QStringLiteral("file"); // an archive or a range once the answer shows it
        } else if (asked("view")) {
            kind = QStringLiteral("view");
        } else if (asked("thumb") || asked("preview")) {
            // Display renditions count with thumbnails: both are what a folder's pictures cost to look at.
            kind = QStringLiteral("thumbnails");
            relativePath = folderOf(relativePath);
        } else {
            kind = QStringLiteral("page");
        }
    }
    const std::optional<QuarryFolderShare> share = enabledShare(snapshot, slug);
    if (!share)
        return std::nullopt;
    QuarryActivityEvent event;
    event.time = QDateTime::currentDateTimeUtc();
    event.shareID = share->id;
    event.slug = share->urlSlug;
    event.path = relativePath;
    event.kind = kind;
    event.client = client.address;
    event.via = viaName(client.via);
    return event;
}

void noteAnswer(QuarryActivityEvent& event, const HTTPResponse& response) {
    if (event.kind == QLatin1String("unlock"))
        event.unlocked = !response.cookieHeaders.isEmpty();
    // Only a folder's archive is made by work of its own; a file is answered at once.
    if (event.kind == QLatin1String("file") && response.deferred)
        event.kind = QStringLiteral("archive");
}

void completeActivity(QuarryActivityEvent& event, const QuarryHTTPDelivery& delivery) {
    event.status = delivery.status;
    event.bytesPromised = delivery.bytesPromised;
    event.bytesSent = delivery.bytesSent;
    event.durationMs = delivery.duration.count();
    event.firstByte = delivery.firstByte;
    event.wholeLength = delivery.wholeLength;
    event.entityTag = delivery.entityTag;
    event.ended = delivery.ended;
    event.complete = delivery.complete;
    if (event.kind == QLatin1String("file") && delivery.status == 206)
        event.kind = QStringLiteral("range");
}

} // namespace QuarrySite
