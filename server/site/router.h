#pragma once

#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/site/request_context.h"
#include "server/site/server_snapshot.h"

#include <QString>

// What a request is answered with, from its method and path, against one snapshot.
namespace QuarrySite {

// HEAD is routed as GET is; the connection sends the head alone, and a folder's archive is not made.
HTTPResponse route(const HTTPRequest& request, const QuarryShareServerSnapshot& snapshot,
                   const RequestContext& context = {});

// The routes that read a request body, each with the most it reads; every other route reads none, and
// a body sent to it is left unread.
inline constexpr qint64 kUnlockFormBytes = 16 * 1024;
qint64 bodyLimit(const HTTPRequest& head);

HTTPResponse handleUnlock(const HTTPRequest& request, const QString& slug,
                          const QuarryShareServerSnapshot& snapshot, const RequestContext& context = {});

} // namespace QuarrySite
