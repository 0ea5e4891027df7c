#pragma once

#include "core/share_records.h"
#include "server/files/descriptor.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/site/download_request.h"
#include "server/site/request_context.h"
#include "server/site/server_snapshot.h"

#include <QString>

#include <sys/stat.h>

// Downloads: files stream from disk as they are (whole, or one byte range, with validators), folders
// as ZIP archives written while they are sent (with a length, validators and ranges, or deflated).
namespace QuarrySite {

// share is enabled and already authorised; relativePath is "" for the share's root. Range and the
// conditional headers count for GET and HEAD, for files and folder archives alike; HEAD gets the headers
// GET would and never reads a file's bytes. A folder's archive holds what download picks of it (a picked
// name that is no entry answers 404), deflated and chunked when it asks to compress.
HTTPResponse handleDownload(const HTTPRequest& request, const QuarryFolderShare& share,
                            const QString& relativePath, const QuarryShareServerSnapshot& snapshot,
                            const RequestContext& context, const DownloadRequest& download);

// The archive's base name: the share's display name for its root, the folder's own name otherwise,
// trimmed, with "/" and ":" turned into "-"; "brightloom-share" when nothing is left.
QString archiveName(const QString& location, const QuarryFolderShare& share, const QString& relativePath);

// How a file's bytes are answered: their type, attachment or inline, and the policy that keeps any
// script in them from running.
struct FilePresentation {
    QString contentType;
    QString disposition;
    QString policy = QuarryHTTP::SharedFilePolicy::sandboxed;
};

// A regular file opened by QuarryBeneath::openRegularFile, with its status, streamed from disk as
// presented: whole, one byte range, or 304 when the visitor's copy is current (Range and the conditional
// headers count for GET and HEAD).
HTTPResponse answerOpenFile(const HTTPRequest& request, QuarryDescriptor file, const struct stat& status,
                            const FilePresentation& presentation);

} // namespace QuarrySite
