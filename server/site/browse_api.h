#pragma once

#include "core/share_records.h"
#include "server/files/folder_listing.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/site/request_context.h"
#include "server/site/server_snapshot.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

struct DirectoryListingPayload {
    QString shareSlug;
    QString directoryPath;
    QList<DirectoryListingItem> items;
    QByteArray toData() const;
    bool operator==(const DirectoryListingPayload&) const = default;
};

struct ItemMetadataPayload {
    QString shareSlug;
    QString name;
    QString relativePath;
    bool isDirectory = false;
    std::optional<qint64> size;
    std::optional<QDateTime> modifiedAt;
    QString path;
    QString downloadURL;
    QByteArray toData() const;
    bool operator==(const ItemMetadataPayload&) const = default;
};

namespace QuarryHTTP {
class JSONWriter;
} // namespace QuarryHTTP

// The JSON API of folder listings and item details.
namespace QuarrySite {

// One listing item as a JSON object.
void writeListingItem(QuarryHTTP::JSONWriter& json, const DirectoryListingItem& item);

HTTPResponse handleBrowseJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot);
// The same, made on the context's pool. Asked for again while it is being made, a listing is made once
// and its bytes shared; each client makes a couple at once; one whose every visitor has gone stops.
HTTPResponse handleBrowseJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot, const RequestContext& context);
// Over the public link the item's "path" is its display path (see `displayPath`), never the disk's.
HTTPResponse handleMetadataJSON(const HTTPRequest& request, const QString& slug,
                                const QuarryShareServerSnapshot& snapshot, bool viaPublicLink = false);

// Where an item is as a visitor from afar may know it: "/" + the share's slug + the relative path. The
// disk's own path would tell the user's account name and folder layout to the internet.
QString displayPath(const QuarryFolderShare& share, const QString& relativePath);

// The path pieces after the slug joined with "/"; nothing is decoded again.
QString decodeRelativePath(const QStringList& segments);

// Nothing also when stopRequested said so before the listing was whole.
std::optional<DirectoryListingPayload> buildDirectoryListing(const QuarryFolderShare& share,
                                                             const QString& relativePath,
                                                             const std::function<bool()>& stopRequested = {});
std::optional<ItemMetadataPayload> buildItemMetadata(const QuarryFolderShare& share,
                                                     const QString& relativePath);

} // namespace QuarrySite
