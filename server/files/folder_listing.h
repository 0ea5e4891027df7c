#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

struct DirectoryListingItem {
    QString name;
    QString relativePath;
    bool isDirectory = false;
    std::optional<qint64> size;
    std::optional<QDateTime> modifiedAt;
    bool operator==(const DirectoryListingItem&) const = default;
};

// A folder's entries as visitors see them. Hidden entries and names that are not UTF-8 are left out; a
// symbolic link is listed under the path of what it leads to inside the share, and left out when it
// leads out.
namespace QuarryFolderListing {

// The entries of the folder at location, unsorted; location is fully resolved and inside root, the
// share's fully resolved folder. Nothing when it is no folder; no entries when it cannot be read. Once
// stopRequested (asked now and then, from several threads) says so, the reading stops and what it gives
// is not the whole folder.
std::optional<QList<DirectoryListingItem>> read(const QString& root, const QString& location,
                                                const std::function<bool()>& stopRequested = {});

// Folders first, then by name in the listing's order; with thenByPath, equal names by their paths.
void sort(QList<DirectoryListingItem>& items, bool thenByPath = false);

} // namespace QuarryFolderListing
