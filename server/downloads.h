#pragma once

#include "core/share_records.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/router.h"
#include "server/server_snapshot.h"

#include <QString>

// Downloads: files stream from disk as they are (whole, or one byte range, with validators), folders
// as ZIP archives written while they are sent.
namespace QuarryShareWeb {

// share is enabled and already authorised; relativePath is "" for the share's root. Range and the
// conditional headers count for GET and HEAD; HEAD gets the headers GET would and never makes an archive.
HTTPResponse handleDownload(const HTTPRequest& request, const QuarryFolderShare& share,
                            const QString& relativePath, const QuarryShareServerSnapshot& snapshot,
                            const RequestContext& context);

// The archive's base name: the share's display name for its root, the folder's own name otherwise,
// trimmed, with "/" and ":" turned into "-"; "brightloom-share" when nothing is left.
QString archiveName(const QString& location, const QuarryFolderShare& share, const QString& relativePath);

// attachment; filename="NAME" with double quotes, backslashes and control characters removed from the
// name, so nothing in it can end or escape the quoted text.
QString contentDisposition(const QString& fileName);

// The registered type of the name's extension; application/octet-stream without one.
QString mimeTypeForName(const QString& fileName);

// Opens a fully resolved path for reading, refusing it if any component has become a symbolic link
// since it was resolved. Returns the descriptor or -1.
int openResolvedForReading(const QString& resolvedPath);

} // namespace QuarryShareWeb
