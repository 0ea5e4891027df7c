#pragma once

#include "server/files/name_walk.h"
#include "server/site/browse_api.h"
#include "server/site/request_context.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// Searching a share by name: GET /__search/<slug>?q=TEXT[&n=NUMBER].
namespace QuarrySite {

// The answer of the search endpoint: the matching entries of a share, shaped as listing items.
struct SearchResultPayload {
    QString shareSlug;
    QString query;
    QList<DirectoryListingItem> items;
    bool truncated = false;
    qint64 searchedEntries = 0;
    // Asked with a number (&n=): whether a newer search of the visitor stopped this one, so that its
    // page never takes what it found for all there is.
    std::optional<bool> stopped;
    QByteArray toData() const;
    bool operator==(const SearchResultPayload&) const = default;
};

// Answers after the same share lookup and access check as the listing; the walk runs on the context's
// pool, taking turns at its search gate, and stops when the visitor goes away.
HTTPResponse handleSearchJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot, const RequestContext& context);

// The matches of the query in the share, ordered folders first, then by name as the listing orders
// names, then by path.
SearchResultPayload buildSearchResult(const QuarryFolderShare& share, const QString& query,
                                      const QuarrySearchLimits& limits,
                                      const std::function<bool()>& stopRequested);

} // namespace QuarrySite
