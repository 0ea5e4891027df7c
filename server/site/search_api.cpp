#include "server/site/search_api.h"

#include "core/path_resolution.h"
#include "server/http/json_text.h"
#include "server/site/access.h"
#include "server/work/search_gate.h"

#include <QUuid>

QByteArray QuarrySite::SearchResultPayload::toData() const {
    QuarryHTTP::JSONWriter json;
    json.beginObject();
    json.key("shareSlug").value(shareSlug).key("query").value(query);
    json.key("items").beginArray();
    for (const DirectoryListingItem& item : items)
        QuarrySite::writeListingItem(json, item);
    json.endArray();
    json.key("truncated").value(truncated).key("searchedEntries").value(searchedEntries);
    json.endObject();
    return json.take();
}

namespace QuarrySite {

SearchResultPayload buildSearchResult(const QuarryFolderShare& share, const QString& query,
                                      const QuarrySearchLimits& limits,
                                      const std::function<bool()>& stopRequested) {
    const QuarryNameMatcher matcher(query);
    QuarryNameWalk::Outcome outcome;
    if (stopRequested())
        outcome.truncated = true;
    else if (!matcher.isEmpty() && matcher.canMatch() && !matcher.hasTooManyWords())
        outcome = QuarryNameWalk::walk(QuarryShareUtilities::resolvedPath(share.pathURL()), matcher, limits,
                                       stopRequested);
    QuarryFolderListing::sort(outcome.items, true);
    return SearchResultPayload{share.urlSlug, query, outcome.items, outcome.truncated,
                               outcome.searchedEntries};
}

HTTPResponse handleSearchJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot, const RequestContext& context) {
    const ShareAccess access = shareForRequest(request, slug, snapshot);
    if (!access.share)
        return access.refusal;
    const QuarryFolderShare share = *access.share;
    const QString query = QuarryHTTP::queryParameters(request).value(QStringLiteral("q"));
    const QuarrySearchLimits limits = context.searchLimits;
    const auto search = [share, query, limits](const std::atomic_bool& cancelled,
                                               const std::atomic_bool* superseded) {
        const std::function<bool()> stop = [&cancelled, superseded] {
            return cancelled.load(std::memory_order_relaxed) ||
                   (superseded && superseded->load(std::memory_order_relaxed));
        };
        return HTTPResponse::jsonData(buildSearchResult(share, query, limits, stop).toData());
    };
    const QuarryNameMatcher matcher(query);
    if (matcher.hasTooManyWords())
        return HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Too many words")}}, 400);
    // Nothing to walk for (no words, or a word no name can hold): answered right here.
    if (matcher.isEmpty() || !matcher.canMatch()) {
        const std::atomic_bool going{false};
        return search(going, nullptr);
    }
    if (!context.searches) {
        return offloaded(
            context, [search](const std::atomic_bool& cancelled) { return search(cancelled, nullptr); },
            true);
    }

    // One visitor's searches of one share run one after another, a newer one stopping the older. A
    // visitor is its network, as every limit counts it: addresses rotated within one IPv6 /64 take
    // one turn, not one each.
    const QString key = context.client.network() + QLatin1Char('\n') + uuidText(share.id);
    return context.searches->admit(
        key, [context, search](QuarrySearchGate::Turn turn, QuarrySearchGate::Superseded superseded) {
            return offloaded(
                context,
                [search, turn = std::move(turn), superseded = std::move(superseded)](
                    const std::atomic_bool& cancelled) { return search(cancelled, superseded.get()); },
                true);
        });
}

} // namespace QuarrySite
