#include "server/site/browse_api.h"

#include "server/files/containment.h"
#include "server/http/json_text.h"
#include "server/site/access.h"
#include "server/work/shared_work.h"

#include <QFileInfo>
#include <QStringList>
#include <QUrl>

#include <utility>

namespace {

QString trimmedSlashes(const QString& text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && text.at(start) == QLatin1Char('/'))
        ++start;
    while (end > start && text.at(end - 1) == QLatin1Char('/'))
        --end;
    return text.mid(start, end - start);
}

// Absent attributes are left out, never written as null.
void writeAttributes(QuarryHTTP::JSONWriter& json, const std::optional<qint64>& size,
                     const std::optional<QDateTime>& modifiedAt) {
    if (size)
        json.key("size").value(*size);
    if (modifiedAt)
        json.key("modifiedAt").dateValue(*modifiedAt);
}

// Size only for files (a folder's byte count means nothing to a visitor); both only when readable.
void readAttributes(const QFileInfo& info, bool isDirectory, std::optional<qint64>& size,
                    std::optional<QDateTime>& modifiedAt) {
    if (!info.exists())
        return;
    if (!isDirectory)
        size = info.size();
    const QDateTime modified = info.lastModified();
    if (modified.isValid())
        modifiedAt = modified;
}

QString downloadURLFor(const QString& slug, const QString& relativePath, bool isDirectory) {
    QStringList pieces{slug};
    const QStringList components = relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& component : components)
        pieces << QString::fromUtf8(QUrl::toPercentEncoding(component, "!$&'()*+,=:@"));
    return QLatin1Char('/') + pieces.join(QLatin1Char('/')) +
           (isDirectory ? QStringLiteral("/") : QString()) + QStringLiteral("?download=1");
}

} // namespace

QByteArray DirectoryListingPayload::toData() const {
    QuarryHTTP::JSONWriter json;
    // The members' names, a date and a size take about 96 bytes an item, besides its name and path.
    size_t bytes = 256;
    for (const DirectoryListingItem& item : items)
        bytes += 96 + static_cast<size_t>(item.name.size() + item.relativePath.size());
    json.reserve(bytes);
    json.beginObject();
    json.key("shareSlug").value(shareSlug).key("directoryPath").value(directoryPath);
    json.key("items").beginArray();
    for (const DirectoryListingItem& item : items)
        QuarrySite::writeListingItem(json, item);
    json.endArray().endObject();
    return json.take();
}

QByteArray ItemMetadataPayload::toData() const {
    QuarryHTTP::JSONWriter json;
    json.beginObject();
    json.key("shareSlug").value(shareSlug).key("name").value(name).key("relativePath").value(relativePath);
    json.key("isDirectory").value(isDirectory).key("path").value(path).key("downloadURL").value(downloadURL);
    writeAttributes(json, size, modifiedAt);
    json.endObject();
    return json.take();
}

namespace QuarrySite {

void writeListingItem(QuarryHTTP::JSONWriter& json, const DirectoryListingItem& item) {
    json.beginObject();
    json.key("name").value(item.name).key("relativePath").value(item.relativePath);
    json.key("isDirectory").value(item.isDirectory);
    writeAttributes(json, item.size, item.modifiedAt);
    json.endObject();
}

QString decodeRelativePath(const QStringList& segments) {
    return segments.join(QLatin1Char('/'));
}

std::optional<DirectoryListingPayload> buildDirectoryListing(const QuarryFolderShare& share,
                                                             const QString& relativePath,
                                                             const std::function<bool()>& stopRequested) {
    const QString root = QuarryContainment::resolvedShareRoot(share);
    const std::optional<QString> location = QuarryContainment::resolvedBeneath(root, relativePath);
    if (!location)
        return std::nullopt;
    std::optional<QList<DirectoryListingItem>> items =
        QuarryFolderListing::read(root, *location, stopRequested);
    if (!items || (stopRequested && stopRequested()))
        return std::nullopt;
    QuarryFolderListing::sort(*items);
    return DirectoryListingPayload{share.urlSlug, trimmedSlashes(relativePath), std::move(*items)};
}

std::optional<ItemMetadataPayload> buildItemMetadata(const QuarryFolderShare& share,
                                                     const QString& relativePath) {
    const std::optional<QString> location = QuarryContainment::resolvedURL(share, relativePath);
    if (!location)
        return std::nullopt;
    const QFileInfo info(*location);
    if (!info.exists())
        return std::nullopt;

    ItemMetadataPayload payload;
    payload.shareSlug = share.urlSlug;
    payload.name = info.fileName().isEmpty() ? *location : info.fileName();
    payload.isDirectory = info.isDir();
    readAttributes(info, payload.isDirectory, payload.size, payload.modifiedAt);
    payload.relativePath =
        QuarryContainment::relativeToResolved(*location, QuarryContainment::resolvedShareRoot(share))
            .value_or(QString());
    payload.path = *location;
    payload.downloadURL = downloadURLFor(share.urlSlug, payload.relativePath, payload.isDirectory);
    return payload;
}

// Both endpoints: the enabled share of the slug, the visitor's access to it, then the payload for the
// "path" query item ("" for the share's root); nothing on disk is read before access is granted.
template <typename Builder>
HTTPResponse answerForShare(const HTTPRequest& request, const QString& slug,
                            const QuarryShareServerSnapshot& snapshot, Builder build,
                            const QString& missing) {
    const ShareAccess access = shareForRequest(request, slug, snapshot);
    if (!access.share)
        return access.refusal;
    const auto payload =
        build(*access.share, QuarryHTTP::queryParameters(request).value(QStringLiteral("path")));
    if (!payload)
        return HTTPResponse::json({{QStringLiteral("error"), missing}}, 404);
    return HTTPResponse::jsonData(payload->toData());
}

HTTPResponse handleBrowseJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot) {
    return answerForShare(
        request, slug, snapshot,
        [](const QuarryFolderShare& share, const QString& path) {
            return buildDirectoryListing(share, path);
        },
        QStringLiteral("Directory not found"));
}

HTTPResponse handleBrowseJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot, const RequestContext& context) {
    // Checked here, before anything of the share is read or shared: cheap, and it decides who may join.
    const ShareAccess access = shareForRequest(request, slug, snapshot);
    if (!access.share)
        return access.refusal;
    const QuarryFolderShare share = *access.share;
    const QString path = QuarryHTTP::queryParameters(request).value(QStringLiteral("path"));
    const auto build = [share, path](const std::atomic_bool& cancelled) {
        const std::optional<DirectoryListingPayload> payload = buildDirectoryListing(
            share, path, [&cancelled] { return cancelled.load(std::memory_order_relaxed); });
        if (cancelled)
            return HTTPResponse();
        if (!payload)
            return HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Directory not found")}},
                                      404);
        return HTTPResponse::jsonData(payload->toData());
    };
    if (!context.listings)
        return answeringBusyAsJSON(offloaded(context, build, true));
    // The same listing: the same share, as this snapshot has it, and the same path as asked for (which
    // the answer repeats).
    const QString key = uuidText(share.id) + QLatin1Char('\n') + share.urlSlug + QLatin1Char('\n') +
                        share.pathURL() + QLatin1Char('\n') + path;
    return answeringBusyAsJSON(context.listings->offload(key, context.client.network(), build));
}

HTTPResponse handleMetadataJSON(const HTTPRequest& request, const QString& slug,
                                const QuarryShareServerSnapshot& snapshot, bool viaPublicLink) {
    const auto build = [viaPublicLink](const QuarryFolderShare& share, const QString& relativePath) {
        std::optional<ItemMetadataPayload> payload = buildItemMetadata(share, relativePath);
        if (payload && viaPublicLink)
            payload->path = displayPath(share, payload->relativePath);
        return payload;
    };
    return answerForShare(request, slug, snapshot, build, QStringLiteral("Item not found"));
}

QString displayPath(const QuarryFolderShare& share, const QString& relativePath) {
    const QString root = QLatin1Char('/') + share.urlSlug;
    return relativePath.isEmpty() ? root : root + QLatin1Char('/') + relativePath;
}

} // namespace QuarrySite
