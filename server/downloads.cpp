#include "server/downloads.h"

#include "core/paths.h"
#include "server/browse_api.h"
#include "server/pages.h"
#include "server/zip_archive.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QString withoutControlCharacters(const QString& text) {
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() != QChar::Other_Control)
            clean.append(c);
    }
    return clean;
}

QString cleanFileName(const QString& fileName) {
    QString name = withoutControlCharacters(fileName);
    name.remove(QLatin1Char('"'));
    return name;
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

QString archiveName(const QString& location, const QuarryFolderShare& share, const QString& relativePath) {
    QString name = trimmedText(relativePath.isEmpty() ? share.displayName() : lastPathComponent(location));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char(':'), QLatin1Char('-'));
    return name.isEmpty() ? QStringLiteral("brightloom-share") : name;
}

QString contentDisposition(const QString& fileName) {
    return QStringLiteral("attachment; filename=\"") + cleanFileName(fileName) + QLatin1Char('"');
}

QString inlineDisposition(const QString& fileName) {
    return QStringLiteral("inline; filename=\"") + cleanFileName(fileName) + QLatin1Char('"');
}

QString mimeTypeForName(const QString& fileName) {
    static const QString fallback = QStringLiteral("application/octet-stream");
    if (QFileInfo(fileName).suffix().isEmpty())
        return fallback;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    return type.isValid() && !type.isDefault() ? type.name() : fallback;
}

HTTPResponse handleDownload(const QuarryFolderShare& share, const QString& relativePath,
                            const QuarryShareServerSnapshot& snapshot, const QString& zipProgram) {
    const std::optional<QString> location = resolvedURL(share, relativePath);
    const QFileInfo info(location.value_or(QString()));
    if (!location || !info.exists())
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    const QString name = lastPathComponent(*location);

    if (info.isDir()) {
        const QString root = resolvedURL(share, QString()).value_or(*location);
        return HTTPResponse::later(std::make_shared<QuarryZipArchiveJob>(
            *location, root, archiveName(*location, share, relativePath), zipProgram));
    }

    return answerFile(*location, FilePresentation{mimeTypeForName(name), contentDisposition(name)});
}

HTTPResponse answerFile(const QString& location, const FilePresentation& presentation) {
    const int descriptor = openResolvedForReading(location);
    struct stat status {};
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        // Only regular files are sent: a FIFO or device could block or never end.
        if (descriptor >= 0)
            ::close(descriptor);
        return HTTPResponse::internalServerError(QStringLiteral("Could not read ") +
                                                 lastPathComponent(location) + QLatin1Char('.'));
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return HTTPResponse::file(std::make_shared<HTTPFileBody>(descriptor, static_cast<qint64>(status.st_size)),
                              presentation.contentType, presentation.disposition, presentation.policy);
}

} // namespace QuarryShareWeb
