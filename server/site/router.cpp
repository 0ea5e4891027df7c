#include "server/site/router.h"

#include "server/site/access.h"
#include "server/site/browse_api.h"
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
    if (query.value(QStringLiteral("download")) == QLatin1String("1"))
        return handleDownload(request, *share, relativePath, snapshot, context);
    if (query.value(QStringLiteral("view")) == QLatin1String("1"))
        return handleView(request, *share, relativePath, snapshot, context);
    if (query.value(QStringLiteral("thumb")) == QLatin1String("1"))
        return handleThumbnail(*share, relativePath, snapshot, context.thumbnails);
    if (query.value(QStringLiteral("preview")) == QLatin1String("1"))
        return handleThumbnail(*share, relativePath, snapshot, context.thumbnails, QuarryRendition::display);

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
    if (get && path.startsWith(kBrowsePrefix)) {
        return offloadedWithSnapshot(
            context, snapshot,
            [request, slug = path.mid(kBrowsePrefix.size())](const QuarryShareServerSnapshot& arrivedWith) {
                return handleBrowseJSON(request, slug, arrivedWith);
            });
    }
    if (get && path.startsWith(kMetaPrefix)) {
        return offloadedWithSnapshot(
            context, snapshot,
            [request, slug = path.mid(kMetaPrefix.size()),
             viaPublicLink = context.client.viaPublicLink()](const QuarryShareServerSnapshot& arrivedWith) {
                return handleMetadataJSON(request, slug, arrivedWith, viaPublicLink);
            });
    }
    if (get && path.startsWith(kSearchPrefix))
        return handleSearchJSON(request, path.mid(kSearchPrefix.size()), snapshot, context);
    return shareBranch(request, path, snapshot, context);
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

    // A locked-out client is answered exactly like a wrong password, without the password being checked.
    const QString shareKey = uuidText(share->id);
    if (context.throttle && context.throttle->isLockedOut(context.client.address, shareKey))
        return refused;
    if (!verify(password, *share)) {
        if (context.throttle)
            context.throttle->recordFailure(context.client.address, shareKey);
        return refused;
    }
    if (context.throttle)
        context.throttle->recordSuccess(context.client.address, shareKey);
    return HTTPResponse::redirect(
        target, {HTTPCookieHeader{authCookieName(*share), authCookieValue(*share), authCookieAttributes()}});
}

} // namespace QuarrySite
