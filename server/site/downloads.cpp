#include "server/site/downloads.h"

#include "core/path_resolution.h"
#include "core/paths.h"
#include "server/archives/zip_archive.h"
#include "server/files/beneath.h"
#include "server/files/containment.h"
#include "server/http/byte_ranges.h"
#include "server/http/file_headers.h"
#include "server/http/validators.h"
#include "server/site/pages.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

bool isGetOrHead(const HTTPRequest& request) {
    return request.method == QLatin1String("GET") || request.method == QLatin1String("HEAD");
}

HTTPResponse withStatus(HTTPResponse response, int status) {
    response.statusCode = status;
    response.reasonPhrase = HTTPResponse::reasonPhraseFor(status);
    return response;
}

// The answer for an open regular file: 304 when the client's copy is current, one range (206, or 416
// when it lies beyond the file), or the whole file.
HTTPResponse fileAnswer(const HTTPRequest& request, QuarryDescriptor file, const struct stat& status,
                        const QuarrySite::FilePresentation& presentation) {
    using namespace QuarryHTTP;
    const FileValidators validators = validatorsFor(status);
    const qint64 size = status.st_size;
    const bool conditional = isGetOrHead(request);
    if (conditional && isNotModified(request, validators, QDateTime::currentSecsSinceEpoch()))
        return notModifiedAnswer(validators);
    ByteRangeAnswer range;
    if (conditional && request.headers.contains(QStringLiteral("range")) &&
        ifRangeAllows(request, validators))
        range = evaluateRange(request.header(QStringLiteral("range")), size);
    if (range.kind == ByteRangeAnswer::Kind::unsatisfiable)
        return rangeNotSatisfiableAnswer(size);
    const bool partial = range.kind == ByteRangeAnswer::Kind::partial;
    HTTPResponse response =
        HTTPResponse::file(std::make_shared<QuarryHTTPFileBody>(
                               file.release(), partial ? range.length() : size, partial ? range.first : 0),
                           presentation.contentType, presentation.disposition, presentation.policy);
    addValidators(response, validators);
    if (!partial)
        return response;
    response.headers.insert(QStringLiteral("Content-Range"),
                            QStringLiteral("bytes %1-%2/%3").arg(range.first).arg(range.last).arg(size));
    return withStatus(std::move(response), 206);
}

HTTPResponse folderAnswer(const HTTPRequest& request, const QuarryFolderShare& share, const QString& location,
                          const QString& relativePath, const QuarrySite::RequestContext& context,
                          const QuarrySite::DownloadRequest& download) {
    using namespace QuarrySite;
    const QString name = lastPathComponent(location);
    const QString root = QuarryContainment::resolvedURL(share, QString()).value_or(location);
    QuarryArchiveJob job;
    job.source.rootPath = QFile::encodeName(root);
    job.source.relativePath =
        QFile::encodeName(QuarryShareUtilities::relativePath(location, root).value_or(QString()));
    // A folder without a last component (the file-system root) is stored under the archive's name.
    job.source.entryName = QFile::encodeName(
        name.isEmpty() || name == QLatin1String("/") ? archiveName(location, share, relativePath) : name);
    job.source.displayName = location;
    job.source.picks = download.picks;
    job.compressed = download.compress;
    job.request.method = request.method;
    job.request.target = request.target;
    job.request.headers = request.headers;
    job.fileName = archiveName(location, share, relativePath) + QStringLiteral(".zip");
    job.failureName = name;
    job.checksums = context.checksums;
    return HTTPResponse::later(std::make_shared<QuarryZIPArchiveResponse>(
        std::move(job), context.archives, context.client.network(), context.archiveLimits));
}

} // namespace

namespace QuarrySite {

QString archiveName(const QString& location, const QuarryFolderShare& share, const QString& relativePath) {
    QString name = trimmedText(relativePath.isEmpty() ? share.displayName() : lastPathComponent(location));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char(':'), QLatin1Char('-'));
    return name.isEmpty() ? QStringLiteral("brightloom-share") : name;
}

HTTPResponse handleDownload(const HTTPRequest& request, const QuarryFolderShare& share,
                            const QString& relativePath, const QuarryShareServerSnapshot& snapshot,
                            const RequestContext& context, const DownloadRequest& download) {
    const std::optional<QString> location = QuarryContainment::resolvedURL(share, relativePath);
    if (!location)
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    // Picks name entries of a folder: anywhere else they name nothing.
    if (download.picks && !QFileInfo(*location).isDir())
        return HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Item not found")}}, 404);
    // Opened first and asked what it is: one status read on the open file instead of several by name.
    struct stat status {};
    if (QuarryDescriptor file = QuarryBeneath::openRegularFile(*location, status); file.isOpen()) {
        const QString name = lastPathComponent(*location);
        return answerOpenFile(
            request, std::move(file), status,
            FilePresentation{QuarryHTTP::mimeTypeForName(name), QuarryHTTP::contentDisposition(name)});
    }
    const QFileInfo info(*location);
    if (!info.exists())
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    if (info.isDir())
        return folderAnswer(request, share, *location, relativePath, context, download);
    // Only regular files are sent: a FIFO or device could block or never end.
    return HTTPResponse::internalServerError(QStringLiteral("Could not read ") +
                                             lastPathComponent(*location) + QLatin1Char('.'));
}

HTTPResponse answerOpenFile(const HTTPRequest& request, QuarryDescriptor file, const struct stat& status,
                            const FilePresentation& presentation) {
    return fileAnswer(request, std::move(file), status, presentation);
}

} // namespace QuarrySite
