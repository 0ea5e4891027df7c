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
    if (stopped)
        json.key("stopped").value(*stopped);
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
    return SearchResultPayload{.shareSlug = share.urlSlug,
                               .query = query,
                               .items = outcome.items,
                               .truncated = outcome.truncated,
                               .searchedEntries = outcome.searchedEntries,
                               .stopped = std::nullopt};
}

HTTPResponse handleSearchJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot, const RequestContext& context) {
    const ShareAccess access = shareForRequest(request, slug, snapshot);
    if (!access.share)
        return access.refusal;
    const QuarryFolderShare share = *access.share;
    const QMap<QString, QString> parameters = QuarryHTTP::queryParameters(request);
    const QString query = parameters.value(QStringLiteral("q"));
    // The page's count of its searches, which says which of two is newer whatever order they arrive in.
    bool numbered = false;
    const quint64 parsedNumber = parameters.value(QStringLiteral("n")).toULongLong(&numbered);
    const std::optional<quint64> number = numbered ? std::optional(parsedNumber) : std::nullopt;
    const QuarrySearchLimits limits = context.searchLimits;
    const auto search = [share, query, limits, numbered](const std::atomic_bool& cancelled,
                                                         const std::atomic_bool* superseded) {
        std::atomic_bool stoppedByNewer{false};
        const std::function<bool()> stop = [&cancelled, superseded, &stoppedByNewer] {
            if (cancelled.load(std::memory_order_relaxed))
                return true;
            if (!superseded || !superseded->load(std::memory_order_relaxed))
                return false;
            stoppedByNewer.store(true, std::memory_order_relaxed);
            return true;
        };
        SearchResultPayload payload = buildSearchResult(share, query, limits, stop);
        if (numbered)
            payload.stopped = stoppedByNewer.load();
        return HTTPResponse::jsonData(payload.toData());
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
        key,
        [context, search](QuarrySearchGate::Turn turn, QuarrySearchGate::Superseded superseded) {
            // Stopped before it began (an older search than the visitor's newest): nothing to walk.
            if (superseded->load()) {
                const std::atomic_bool going{false};
                return search(going, superseded.get());
            }
            return offloaded(
                context,
                [search, turn = std::move(turn), superseded = std::move(superseded)](
                    const std::atomic_bool& cancelled) { return search(cancelled, superseded.get()); },
                true);
        },
        number);
}

} // namespace QuarrySite
