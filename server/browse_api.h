#pragma once

#include "core/share_records.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/server_snapshot.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct DirectoryListingItem {
    QString name;
    QString relativePath;
    bool isDirectory = false;
    std::optional<qint64> size;
    std::optional<QDateTime> modifiedAt;
    bool operator==(const DirectoryListingItem&) const = default;
};

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

// The JSON API of folder listings and item details, and the containment gate every file access uses.
namespace QuarryShareWeb {

class JsonWriter;

// The share a JSON request may read: the enabled share of the slug, when the visitor may see it;
// otherwise the answer to give instead (404 "Share not found", 401 "Password required").
struct ShareAccess {
    std::optional<QuarryFolderShare> share;
    HTTPResponse refusal;
};
ShareAccess shareForRequest(const HTTPRequest& request, const QString& slug,
                            const QuarryShareServerSnapshot& snapshot);

// One listing item as a JSON object.
void writeListingItem(JsonWriter& json, const DirectoryListingItem& item);

// Folders first, then by name in the listing's order; with thenByPath, equal names by their paths.
void sortListingItems(QList<DirectoryListingItem>& items, bool thenByPath = false);

// The first enabled share whose slug is exactly the given one.
std::optional<QuarryFolderShare> enabledShare(const QuarryShareServerSnapshot& snapshot, const QString& slug);

HTTPResponse handleBrowseJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot);
HTTPResponse handleMetadataJSON(const HTTPRequest& request, const QString& slug,
                                const QuarryShareServerSnapshot& snapshot);

// The path pieces after the slug joined with "/"; nothing is decoded again.
QString decodeRelativePath(const QStringList& segments);

// The resolved location of relativePath inside the share, or nothing when it would leave the share's
// folder (through "..", a symbolic link, or a NUL that would cut the path short at the system call).
std::optional<QString> resolvedURL(const QuarryFolderShare& share, const QString& relativePath);

std::optional<DirectoryListingPayload> buildDirectoryListing(const QuarryFolderShare& share,
                                                             const QString& relativePath);
std::optional<ItemMetadataPayload> buildItemMetadata(const QuarryFolderShare& share,
                                                     const QString& relativePath);

// "2024-06-01T09:30:00Z".
QString isoDateText(const QDateTime& moment);

} // namespace QuarryShareWeb
