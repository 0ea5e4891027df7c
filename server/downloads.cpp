#include "server/downloads.h"

#include "core/path_resolution.h"
#include "core/paths.h"
#include "server/beneath.h"
#include "server/byte_ranges.h"
#include "server/containment.h"
#include "server/file_headers.h"
#include "server/pages.h"
#include "server/validators.h"
#include "server/zip_archive.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool isGetOrHead(const HTTPRequest& request) {
    return request.method == QLatin1String("GET") || request.method == QLatin1String("HEAD");
}

void addValidators(HTTPResponse& response, const QuarryShareWeb::FileValidators& validators) {
    response.headers.insert(QStringLiteral("Accept-Ranges"), QStringLiteral("bytes"));
    response.headers.insert(QStringLiteral("ETag"), validators.entityTag);
    response.headers.insert(QStringLiteral("Last-Modified"), validators.lastModified);
}

HTTPResponse withStatus(HTTPResponse response, int status) {
    response.statusCode = status;
    response.reasonPhrase = HTTPResponse::reasonPhraseFor(status);
    return response;
}

// The answer for an open regular file: 304 when the client's copy is current, one range (206, or 416
// when it lies beyond the file), or the whole file.
HTTPResponse fileAnswer(const HTTPRequest& request, int descriptor, const struct stat& status,
                        const QuarryShareWeb::FilePresentation& presentation) {
    using namespace QuarryShareWeb;
    const FileValidators validators = validatorsFor(status);
    const qint64 size = status.st_size;
    const bool conditional = isGetOrHead(request);
    if (conditional && isNotModified(request, validators, QDateTime::currentSecsSinceEpoch())) {
        ::close(descriptor);
        HTTPResponse notModified = withStatus(HTTPResponse::binary(QByteArray(), QString()), 304);
        notModified.headers.remove(QStringLiteral("Content-Type"));
        addValidators(notModified, validators);
        return notModified;
    }
    ByteRangeAnswer range;
    if (conditional && request.headers.contains(QStringLiteral("range")) &&
        ifRangeAllows(request, validators))
        range = evaluateRange(request.header(QStringLiteral("range")), size);
    if (range.kind == ByteRangeAnswer::Kind::unsatisfiable) {
        ::close(descriptor);
        HTTPResponse refused = withStatus(HTTPResponse::binary(QByteArray(), QString()), 416);
        refused.headers.remove(QStringLiteral("Content-Type"));
        refused.headers.insert(QStringLiteral("Accept-Ranges"), QStringLiteral("bytes"));
        refused.headers.insert(QStringLiteral("Content-Range"), QStringLiteral("bytes */%1").arg(size));
        return refused;
    }
    const bool partial = range.kind == ByteRangeAnswer::Kind::partial;
    HTTPResponse response =
        HTTPResponse::file(std::make_shared<HTTPFileBody>(descriptor, partial ? range.length() : size,
                                                          partial ? range.first : 0),
                           presentation.contentType, presentation.disposition, presentation.policy);
    addValidators(response, validators);
    if (!partial)
        return response;
    response.headers.insert(QStringLiteral("Content-Range"),
                            QStringLiteral("bytes %1-%2/%3").arg(range.first).arg(range.last).arg(size));
    return withStatus(std::move(response), 206);
}

HTTPResponse folderAnswer(const HTTPRequest& request, const QuarryFolderShare& share, const QString& location,
                          const QString& relativePath, const QuarryShareWeb::RequestContext& context) {
    using namespace QuarryShareWeb;
    const QString name = lastPathComponent(location);
    const QString fileName = archiveName(location, share, relativePath) + QStringLiteral(".zip");
    const QString root = resolvedURL(share, QString()).value_or(location);
    QuarryFolderArchiveSpec job;
    job.rootPath = QFile::encodeName(root);
    job.relativePath =
        QFile::encodeName(QuarryShareUtilities::relativePath(location, root).value_or(QString()));
    // A folder without a last component (the file-system root) is stored under the archive's name.
    job.entryName = QFile::encodeName(
        name.isEmpty() || name == QLatin1String("/") ? archiveName(location, share, relativePath) : name);
    job.displayName = location;

    if (request.method == QLatin1String("HEAD")) {
        // The headers GET would send, without making the archive: only whether the folder opens.
        const int rootDescriptor = ::open(job.rootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int folder = rootDescriptor < 0
                               ? -1
                               : QuarryBeneath::openBeneath(rootDescriptor, job.rootPath, job.relativePath,
                                                            O_RDONLY | O_DIRECTORY);
        if (folder >= 0)
            ::close(folder);
        if (rootDescriptor >= 0)
            ::close(rootDescriptor);
        return folder < 0 ? QuarryZipArchiveResponse::failure(name)
                          : QuarryZipArchiveResponse::answerHead(fileName);
    }
    return HTTPResponse::later(std::make_shared<QuarryZipArchiveResponse>(
        std::move(job), fileName, name, context.archives, context.client, context.archiveLimits));
}

} // namespace

namespace QuarryShareWeb {

int openResolvedForReading(const QString& resolvedPath) {
    const QByteArray path = QFile::encodeName(resolvedPath);
    // Non-blocking, so a FIFO cannot stall the server thread at open time.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    open_how how{};
    how.flags = static_cast<__u64>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long descriptor = ::syscall(SYS_openat2, AT_FDCWD, path.constData(), &how, sizeof(how));
    if (descriptor < 0 && (errno == ENOSYS || errno == EPERM))
        descriptor = ::open(path.constData(), flags | O_NOFOLLOW);
    return static_cast<int>(descriptor);
}

int openRegularFile(const QString& resolvedPath, struct stat& status) {
    const int descriptor = openResolvedForReading(resolvedPath);
    if (descriptor < 0)
        return -1;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return -1;
    }
    // Opened without blocking (for FIFOs); a regular file is read as usual. Only status flags change.
    ::fcntl(descriptor, F_SETFL, O_RDONLY);
    return descriptor;
}

QString archiveName(const QString& location, const QuarryFolderShare& share, const QString& relativePath) {
    QString name = trimmedText(relativePath.isEmpty() ? share.displayName() : lastPathComponent(location));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char(':'), QLatin1Char('-'));
    return name.isEmpty() ? QStringLiteral("brightloom-share") : name;
}

HTTPResponse handleDownload(const HTTPRequest& request, const QuarryFolderShare& share,
                            const QString& relativePath, const QuarryShareServerSnapshot& snapshot,
                            const RequestContext& context) {
    const std::optional<QString> location = resolvedURL(share, relativePath);
    if (!location)
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    // Opened first and asked what it is: one status read on the open file instead of several by name.
    struct stat status {};
    const int descriptor = openRegularFile(*location, status);
    if (descriptor >= 0) {
        const QString name = lastPathComponent(*location);
        return answerOpenFile(request, descriptor, status,
                              FilePresentation{mimeTypeForName(name), contentDisposition(name)});
    }
    const QFileInfo info(*location);
    if (!info.exists())
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    if (info.isDir())
        return folderAnswer(request, share, *location, relativePath, context);
    // Only regular files are sent: a FIFO or device could block or never end.
    return HTTPResponse::internalServerError(QStringLiteral("Could not read ") +
                                             lastPathComponent(*location) + QLatin1Char('.'));
}

HTTPResponse answerOpenFile(const HTTPRequest& request, int descriptor, const struct stat& status,
                            const FilePresentation& presentation) {
    return fileAnswer(request, descriptor, status, presentation);
}

} // namespace QuarryShareWeb
