#include "server/site/router.h"

#include "server/site/access.h"
#include "server/site/browse_api.h"
#include "server/site/download_request.h"
#include "server/site/downloads.h"
#include "server/site/pages.h"
#include "server/site/previews.h"
#include "server/site/search_api.h"

#include <QStringList>
#include <QUuid>

namespace {

const QString kUnlockPrefix = QStringLiteral("/__unlock/");
const QString kBrowsePrefix = QStringLiteral("/__browse/");
const QString kMetaPrefix = QStringLiteral("/__meta/");
const QString kSearchPrefix = QStringLiteral("/__search/");
const QString kIconPath = QStringLiteral("/__asset/app-icon.png");

// Which requests carry a body worth reading, judged from their head, and how much of one. A route that
// takes a form adds its row here; every body it allows may be held by each connection at once.
struct BodyRoute {
    bool (*matches)(const HTTPRequest& head);
    qint64 limit;
};
const BodyRoute kBodyRoutes[] = {
    // The unlock form: a password and where to go next, about a hundred bytes.
    {[](const HTTPRequest& head) {
         return head.method == QLatin1String("POST") && head.path().startsWith(kUnlockPrefix);
     },
     QuarrySite::kUnlockFormBytes},
    // The picks form: up to 10,000 names of a folder; a body this large draws on the connections' one
    // budget for large bodies.
    {QuarrySite::mayCarryPicksForm, QuarrySite::kPicksFormMaxBytes},
};

HTTPResponse appPageWithoutShare(const QuarryShareServerSnapshot& snapshot) {
    return HTTPResponse::html(QuarrySite::renderAppPage(snapshot, std::nullopt, QString(), std::nullopt));
}

// Pages, listings and details read the disk and build tens of kilobytes of text: they run on the pool,
// each with its own copy of the request and of the snapshot it arrived with.
template <typename Answer>
HTTPResponse offloadedWithSnapshot(const QuarrySite::RequestContext& context,
                                   const QuarryShareServerSnapshot& snapshot, Answer answer) {
    return QuarrySite::offloaded(context, [snapshot, answer = std::move(answer)](const std::atomic_bool&) {
        return answer(snapshot);
    });
}

HTTPResponse sharePage(const QuarryFolderShare& share, const QString& relativePath,
                       const QuarryShareServerSnapshot& snapshot, bool viaPublicLink) {
    using namespace QuarrySite;
    const std::optional<Presentation> presentation = resolvePresentation(share, relativePath);
    if (!presentation)
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    return HTTPResponse::html(renderAppPage(snapshot, share, presentation->initialDirectory,
                                            presentation->selectedRelativePath, viaPublicLink));
}

QString shareRoot(const QuarryFolderShare& share) {
    return QLatin1Char('/') + share.urlSlug + QLatin1Char('/');
}

HTTPResponse shareBranch(const HTTPRequest& request, const QString& path,
                         const QuarryShareServerSnapshot& snapshot,
                         const QuarrySite::RequestContext& context) {
    using namespace QuarrySite;
    QStringList pieces = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return offloadedWithSnapshot(context, snapshot, appPageWithoutShare);
    const std::optional<QuarryFolderShare> share = enabledShare(snapshot, pieces.takeFirst());
    if (!share)
        return HTTPResponse::notFound(renderNotFoundPage(snapshot));

    const QMap<QString, QString> query = QuarryHTTP::queryParameters(request);
    if (!isAuthorized(request, *share)) {
        const QString target = sanitizedRedirect(request.target, shareRoot(*share));
        const bool failed = query.value(QStringLiteral("failed")) == QLatin1String("1");
        return HTTPResponse::html(renderUnlockPage(*share, target, failed), 401);
    }

    const QString relativePath = decodeRelativePath(pieces);
    const DownloadRequest download = downloadRequestOf(request, query);
    if (download.download) {
        if (download.problem == DownloadRequest::Problem::invalidPick)
            return HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Invalid pick")}}, 400);
        if (download.problem == DownloadRequest::Problem::tooManyPicks)
            return HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Too many picks")}}, 400);
        return handleDownload(request, *share, relativePath, snapshot, context, download);
    }
    if (query.value(QStringLiteral("view")) == QLatin1String("1"))
        return handleView(request, *share, relativePath, snapshot, context);
    if (query.value(QStringLiteral("thumb")) == QLatin1String("1"))
        return handleThumbnail(*share, relativePath, snapshot, context.thumbnails);
    if (query.value(QStringLiteral("preview")) == QLatin1String("1"))
        return handleThumbnail(*share, relativePath, snapshot, context.thumbnails, QuarryRendition::display);
    if (query.value(QStringLiteral("play")) == QLatin1String("1"))
        return handlePlay(*share, relativePath, snapshot, context,
                          query.value(QStringLiteral("t")).toDouble());
    if (query.value(QStringLiteral("probe")) == QLatin1String("1"))
        return handleProbe(*share, relativePath, snapshot, context.thumbnails);

    return offloadedWithSnapshot(
        context, snapshot,
        [share = *share, relativePath,
         viaPublicLink = context.client.viaPublicLink()](const QuarryShareServerSnapshot& arrivedWith) {
            return sharePage(share, relativePath, arrivedWith, viaPublicLink);
        });
}

} // namespace

namespace QuarrySite {

HTTPResponse route(const HTTPRequest& request, const QuarryShareServerSnapshot& snapshot,
                   const RequestContext& context) {
    // The server's own paths answer GET only; every other method, HEAD included, goes to the share
    // branch, which serves them all alike. The connection sends a HEAD answer's head alone.
    const QString path = request.path();
    const QString& method = request.method;
    const bool get = method == QLatin1String("GET");
    if (get && path == QLatin1String("/"))
        return offloadedWithSnapshot(context, snapshot, appPageWithoutShare);
    if (method == QLatin1String("POST") && path.startsWith(kUnlockPrefix))
        return handleUnlock(request, path.mid(kUnlockPrefix.size()), snapshot, context);
    if (get && path == kIconPath) {
        if (const std::optional<QByteArray> icon = appIconData())
            return HTTPResponse::binary(*icon, QStringLiteral("image/png"));
        return HTTPResponse::notFound(renderNotFoundPage(snapshot));
    }
    if (get && path.startsWith(kBrowsePrefix))
        return handleBrowseJSON(request, path.mid(kBrowsePrefix.size()), snapshot, context);
    if (get && path.startsWith(kMetaPrefix)) {
        return answeringBusyAsJSON(offloadedWithSnapshot(
            context, snapshot,
            [request, slug = path.mid(kMetaPrefix.size()),
             viaPublicLink = context.client.viaPublicLink()](const QuarryShareServerSnapshot& arrivedWith) {
                return handleMetadataJSON(request, slug, arrivedWith, viaPublicLink);
            }));
    }
    if (get && path.startsWith(kSearchPrefix))
        return answeringBusyAsJSON(
            handleSearchJSON(request, path.mid(kSearchPrefix.size()), snapshot, context));
    return shareBranch(request, path, snapshot, context);
}

qint64 bodyLimit(const HTTPRequest& head) {
    for (const BodyRoute& route : kBodyRoutes) {
        if (route.matches(head))
            return route.limit;
    }
    return 0;
}

HTTPResponse handleUnlock(const HTTPRequest& request, const QString& slug,
                          const QuarryShareServerSnapshot& snapshot, const RequestContext& context) {
    const std::optional<QuarryFolderShare> share = enabledShare(snapshot, slug);
    if (!share)
        return HTTPResponse::notFound(renderNotFoundPage(snapshot));

    const QMap<QString, QString> form = parseFormBody(request.body);
    const QString password = form.value(QStringLiteral("password"));
    const auto redirectField = form.constFind(QStringLiteral("redirect"));
    const QString target = sanitizedRedirect(
        redirectField == form.cend() ? std::nullopt : std::optional<QString>(*redirectField),
        shareRoot(*share));
    const HTTPResponse refused = HTTPResponse::redirect(shareRoot(*share) + QStringLiteral("?failed=1"));
    QStringList attributes = authCookieAttributes();
    // The public link is HTTPS from the browser to the tunnel: its cookie must never travel in the clear.
    if (context.client.viaPublicLink())
        attributes << QStringLiteral("Secure");
    const HTTPResponse opened = HTTPResponse::redirect(
        target, {HTTPCookieHeader{authCookieName(*share), authCookieValue(*share), attributes}});
    if (!context.throttle)
        return verify(password, *share) ? opened : refused;

    // A locked-out client is answered exactly like a wrong password, without the password being checked.
    // Clients count by network: one visitor may hold a whole IPv6 /64.
    QuarryUnlockThrottle* throttle = context.throttle;
    const QString shareKey = uuidText(share->id);
    const QString network = context.client.network();
    if (throttle->isLockedOut(network, shareKey))
        return refused;
    auto check = [throttle, shareKey, network, password, share = *share, refused, opened] {
        // A turn may come after this client was locked out by another of its attempts.
        if (throttle->isLockedOut(network, shareKey))
            return refused;
        if (!verify(password, share)) {
            throttle->recordFailure(network, shareKey);
            return refused;
        }
        throttle->recordSuccess(network, shareKey);
        return opened;
    };
    // While the share's guesses are scarce, turns go round wider networks: a holder of a whole /48 or
    // /24 takes one place in line, not thousands.
    if (context.unlockTurns)
        return context.unlockTurns->attempt(shareKey, QuarryHTTP::wideNetworkOf(context.client.address),
                                            std::move(check), refused);
    return check();
}

} // namespace QuarrySite
