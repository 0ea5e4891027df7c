#include "server/archives/archive_answer.h"

#include "core/diagnostics.h"
#include "server/archives/folder_archive.h"
#include "server/archives/stored_archive.h"
#include "server/archives/stored_zip.h"
#include "server/http/byte_ranges.h"
#include "server/http/file_headers.h"
#include "server/http/validators.h"

#include <QDateTime>

namespace {

bool isGetOrHead(const HTTPRequest& request) {
    return request.method == QLatin1String("GET") || request.method == QLatin1String("HEAD");
}

void answerStored(const QuarryArchiveJob& job, QuarryArchiveLayout& layout, QuarryArchiveStream& stream) {
    using namespace QuarryHTTP;
    const QuarryStoredZIP::Geometry geometry = QuarryStoredZIP::place(layout);
    FileValidators validators;
    validators.entityTag = QuarryStoredZIP::entityTag(layout, geometry);
    validators.modifiedSeconds = layout.latestModification();
    validators.lastModified = httpDate(validators.modifiedSeconds);
    const HTTPRequest& request = job.request;
    const bool conditional = isGetOrHead(request);
    if (conditional && isNotModified(request, validators, QDateTime::currentSecsSinceEpoch())) {
        stream.answer(notModifiedAnswer(validators));
        return;
    }
    ByteRangeAnswer range;
    if (conditional && request.headers.contains(QStringLiteral("range")) &&
        ifRangeAllows(request, validators, true))
        range = evaluateRange(request.header(QStringLiteral("range")), geometry.length);
    if (range.kind == ByteRangeAnswer::Kind::unsatisfiable) {
        stream.answer(rangeNotSatisfiableAnswer(geometry.length));
        return;
    }
    const bool partial = range.kind == ByteRangeAnswer::Kind::partial;
    const qint64 first = partial ? range.first : 0;
    const qint64 last = partial ? range.last : geometry.length - 1;
    HTTPResponse head = HTTPResponse::fileBytes(QByteArray(), QStringLiteral("application/zip"),
                                                contentDisposition(job.fileName));
    addValidators(head, validators);
    head.streamLength = last - first + 1;
    if (partial) {
        head.statusCode = 206;
        head.reasonPhrase = HTTPResponse::reasonPhraseFor(206);
        head.headers.insert(QStringLiteral("Content-Range"),
                            QStringLiteral("bytes %1-%2/%3").arg(first).arg(last).arg(geometry.length));
    }
    if (request.method == QLatin1String("HEAD")) {
        stream.answer(std::move(head));
        return;
    }
    // The head goes out at once, whatever has to be read before the span's first byte.
    stream.start(std::move(head));
    QuarryStoredArchive::write(layout, geometry, first, last, stream, job.checksums);
}

} // namespace

namespace QuarryArchiveAnswer {

void run(const QuarryArchiveJob& job, QuarryArchiveStream& stream) {
    QuarryArchiveLayout layout;
    switch (layout.make(job.source, [&stream] { return stream.isCancelled(); })) {
    case QuarryArchiveLayout::Outcome::made:
        break;
    case QuarryArchiveLayout::Outcome::noPick:
        stream.answer(HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Item not found")}}, 404));
        return;
    case QuarryArchiveLayout::Outcome::noFolder:
        logDiagnostic(
            QStringLiteral("Could not open %1 for its archive: %2")
                .arg(QuarryArchiveLayout::printable(job.source.rootPath + '/' + job.source.relativePath),
                     layout.problem()));
        stream.fail();
        return;
    case QuarryArchiveLayout::Outcome::tooLarge:
        logDiagnostic(QStringLiteral("The archive of %1 was refused: %2")
                          .arg(job.source.displayName, layout.problem()));
        stream.fail();
        return;
    case QuarryArchiveLayout::Outcome::cancelled:
        stream.fail();
        return;
    }
    if (!job.compressed) {
        answerStored(job, layout, stream);
        return;
    }
    HTTPResponse head = HTTPResponse::streamed(nullptr, QStringLiteral("application/zip"),
                                               QuarryHTTP::contentDisposition(job.fileName));
    if (job.request.method == QLatin1String("HEAD")) {
        stream.answer(std::move(head));
        return;
    }
    QuarryFolderArchive::write(layout, stream, std::move(head), job.checksums);
}

} // namespace QuarryArchiveAnswer
