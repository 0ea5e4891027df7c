#include "server/site/previews.h"

#include "core/paths.h"
#include "server/files/beneath.h"
#include "server/files/containment.h"
#include "server/http/file_headers.h"
#include "server/site/downloads.h"
#include "server/site/pages.h"

#include <QFileInfo>
#include <QMimeDatabase>
#include <QSet>

#include <cmath>

#include <sys/stat.h>

namespace {

using QuarrySite::PreviewKind;

QSet<QString> wordSet(const QString& words) {
    const QStringList list = words.split(QLatin1Char(' '));
    return QSet<QString>(list.cbegin(), list.cend());
}

// Source and configuration files that the type registry does not call text, or calls something a
// browser would act on (".ts" is registered as an XML translation file).
const QSet<QString>& textSuffixes() {
    static const QSet<QString> suffixes = wordSet(QStringLiteral(
        "txt md markdown log csv tsv json yaml yml toml ini conf cfg properties env c h cc cpp cxx hpp hh "
        "m mm swift rs go py rb pl java kt kts scala cs sh bash zsh fish ps1 sql r lua dart ts gradle cmake "
        "mk patch diff tex rst adoc srt vtt css"));
    return suffixes;
}

// Script, whatever type it is registered under.
const QSet<QString>& activeSuffixes() {
    static const QSet<QString> suffixes = wordSet(QStringLiteral("js mjs cjs jsx"));
    return suffixes;
}

// Types a browser runs script in, or renders as a document.
bool isActive(const QMimeType& type) {
    static const QSet<QString> scripts{
        QStringLiteral("application/javascript"),   QStringLiteral("application/ecmascript"),
        QStringLiteral("application/x-javascript"), QStringLiteral("text/javascript"),
        QStringLiteral("text/ecmascript"),          QStringLiteral("text/html"),
        QStringLiteral("application/xhtml+xml")};
    return scripts.contains(type.name()) || type.inherits(QStringLiteral("text/html")) ||
           type.inherits(QStringLiteral("application/xml"));
}

const QSet<QString>& rasterImageTypes() {
    static const QSet<QString> types{QStringLiteral("image/jpeg"), QStringLiteral("image/png"),
                                     QStringLiteral("image/gif"),  QStringLiteral("image/webp"),
                                     QStringLiteral("image/avif"), QStringLiteral("image/bmp")};
    return types;
}

// The name's type by its whole name, so that README or Makefile count as what they are.
QMimeType registeredType(const QString& fileName) {
    return QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
}

QuarrySite::FilePresentation inlinePresentation(PreviewKind kind, const QString& name) {
    using QuarryHTTP::inlineDisposition;
    switch (kind) {
    case PreviewKind::text:
        return {QStringLiteral("text/plain; charset=utf-8"), inlineDisposition(name),
                QuarryHTTP::SharedFilePolicy::sandboxed};
    case PreviewKind::audio:
    case PreviewKind::video:
        return {QuarryHTTP::mimeTypeForName(name), inlineDisposition(name),
                QuarryHTTP::SharedFilePolicy::media};
    case PreviewKind::pdf:
        return {QuarryHTTP::mimeTypeForName(name), inlineDisposition(name),
                QuarryHTTP::SharedFilePolicy::document};
    case PreviewKind::image:
    case PreviewKind::none:
        break;
    }
    return {QuarryHTTP::mimeTypeForName(name), inlineDisposition(name),
            QuarryHTTP::SharedFilePolicy::sandboxed};
}

} // namespace

namespace QuarrySite {

PreviewKind previewKind(const QString& fileName) {
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (activeSuffixes().contains(suffix))
        return PreviewKind::none;
    if (textSuffixes().contains(suffix))
        return PreviewKind::text;
    const QMimeType type = registeredType(fileName);
    if (!type.isValid() || type.isDefault())
        return PreviewKind::none;
    const QString name = type.name();
    if (rasterImageTypes().contains(name))
        return PreviewKind::image;
    if (name.startsWith(QLatin1String("audio/")))
        return PreviewKind::audio;
    if (name.startsWith(QLatin1String("video/")))
        return PreviewKind::video;
    if (name == QLatin1String("application/pdf"))
        return PreviewKind::pdf;
    if (type.inherits(QStringLiteral("text/plain")) && !isActive(type))
        return PreviewKind::text;
    return PreviewKind::none;
}

bool mayHaveThumbnail(const QString& fileName) {
    const QMimeType type = registeredType(fileName);
    return type.isValid() && type.name().startsWith(QLatin1String("image/")) &&
           !type.inherits(QStringLiteral("application/xml"));
}

bool isHEIFName(const QString& fileName) {
    const QString type = QuarryHTTP::mimeTypeForName(fileName);
    return type == QLatin1String("image/heic") || type == QLatin1String("image/heif");
}

HTTPResponse handleView(const HTTPRequest& request, const QuarryFolderShare& share,
                        const QString& relativePath, const QuarryShareServerSnapshot& snapshot,
                        const RequestContext& context) {
    // The kind follows the name the file is served under, which is its target's for a link. What is no
    // previewable regular file (a folder, something missing or unreadable) is answered as a download.
    const std::optional<QString> location = QuarryContainment::resolvedURL(share, relativePath);
    // A photo no browser shows is shown as the JPEG of its whole picture; when it cannot be decoded,
    // there is nothing to show (its download still gives its own bytes).
    if (location && isHEIFName(lastPathComponent(*location)) && QFileInfo(*location).isFile()) {
        return context.thumbnails ? context.thumbnails->answer(*location, QuarryRendition::whole)
                                  : QuarryThumbnails::answerUncached(*location, QuarryRendition::whole);
    }
    const PreviewKind kind = location ? previewKind(lastPathComponent(*location)) : PreviewKind::none;
    struct stat status {};
    QuarryDescriptor file =
        kind == PreviewKind::none ? QuarryDescriptor() : QuarryBeneath::openRegularFile(*location, status);
    if (!file.isOpen())
        return handleDownload(request, share, relativePath, snapshot, context, DownloadRequest{});
    return answerOpenFile(request, std::move(file), status,
                          inlinePresentation(kind, lastPathComponent(*location)));
}

HTTPResponse handleThumbnail(const QuarryFolderShare& share, const QString& relativePath,
                             const QuarryShareServerSnapshot& snapshot, QuarryThumbnails* thumbnails,
                             QuarryRendition rendition) {
    const std::optional<QString> location = QuarryContainment::resolvedURL(share, relativePath);
    const QFileInfo info(location.value_or(QString()));
    if (!location || !info.exists())
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    if (info.isDir())
        return QuarryThumbnails::none();
    // A video's frame comes from a guarded child, never from a decoder in this process.
    if (previewKind(lastPathComponent(*location)) == PreviewKind::video)
        return thumbnails ? thumbnails->answerVideo(*location, rendition) : QuarryThumbnails::none();
    // Anything that is not named as an image or a video is turned away before a byte of it is read.
    if (!mayHaveThumbnail(lastPathComponent(*location)))
        return QuarryThumbnails::none();
    return thumbnails ? thumbnails->answer(*location, rendition)
                      : QuarryThumbnails::answerUncached(*location, rendition);
}

HTTPResponse handleProbe(const QuarryFolderShare& share, const QString& relativePath,
                         const QuarryShareServerSnapshot& snapshot, QuarryThumbnails* thumbnails) {
    const std::optional<QString> location = QuarryContainment::resolvedURL(share, relativePath);
    const QFileInfo info(location.value_or(QString()));
    if (!location || !info.exists())
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    if (info.isDir() || !thumbnails || previewKind(lastPathComponent(*location)) != PreviewKind::video)
        return QuarryThumbnails::none();
    return thumbnails->answerVideo(*location, QuarryRendition::thumbnail, QuarryThumbnails::Purpose::facts);
}

HTTPResponse handlePlay(const QuarryFolderShare& share, const QString& relativePath,
                        const QuarryShareServerSnapshot& snapshot, const RequestContext& context,
                        double from) {
    const std::optional<QString> location = QuarryContainment::resolvedURL(share, relativePath);
    const QFileInfo info(location.value_or(QString()));
    if (!location || !info.exists())
        return HTTPResponse::notFound(renderMissingItemPage(snapshot, share));
    if (info.isDir() || !context.thumbnails ||
        previewKind(lastPathComponent(*location)) != PreviewKind::video)
        return QuarryThumbnails::none();
    return context.thumbnails->answerStream(*location, std::isfinite(from) ? from : 0.0,
                                            context.client.network());
}

} // namespace QuarrySite
