#pragma once

#include "server/http/http_request.h"
#include "server/http/http_response.h"

#include <QString>

#include <optional>
#include <sys/stat.h>

// Validators of a file download (RFC 9110): a strong entity tag and the modification date, and the
// conditional headers that ask about them.
namespace QuarryHTTP {

struct FileValidators {
    // Quoted; changes whenever the file is replaced, resized or modified.
    QString entityTag;
    // The modification time in whole seconds, and as an HTTP date.
    qint64 modifiedSeconds = 0;
    QString lastModified;
};

FileValidators validatorsFor(const struct stat& status);

// "Sun, 06 Nov 1994 08:49:37 GMT".
QString httpDate(qint64 secondsSinceEpoch);
// Seconds since the epoch of an HTTP date in any of its three forms; nothing when it is none.
std::optional<qint64> parseHTTPDate(const QString& text);

// If-None-Match, or without it If-Modified-Since, finds the client's copy current: 304.
bool isNotModified(const HTTPRequest& request, const FileValidators& validators, qint64 now);
// Whether a Range may be honoured: no If-Range, or one that names this very version of the file. With
// tagsOnly, only the entity tag can: a body made from many files has no date that vouches for its bytes.
bool ifRangeAllows(const HTTPRequest& request, const FileValidators& validators, bool tagsOnly = false);

// Accept-Ranges, ETag and Last-Modified.
void addValidators(HTTPResponse& response, const FileValidators& validators);
// 304: no body, no type, the validators.
HTTPResponse notModifiedAnswer(const FileValidators& validators);
// 416 for a range beyond a body of size bytes, with "Content-Range: bytes */size".
HTTPResponse rangeNotSatisfiableAnswer(qint64 size);

} // namespace QuarryHTTP
