#pragma once

#include "server/archive_writers.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/name_walk.h"
#include "server/server_snapshot.h"
#include "server/unlock_throttle.h"
#include "server/work_pool.h"

#include <QPointer>
#include <QString>

class QuarrySearchGate;

// What a request is answered with, from its method and path, against one snapshot.
namespace QuarryShareWeb {

// What route needs besides the request: who is asking (for throttling unlock attempts, sharing out
// archive places and taking turns at searching), the throttle itself (none: unthrottled), where
// archives are written (none: a folder download answers the server-error page), and the pool and
// bounds of per-request work.
struct RequestContext {
    QString client;
    QuarryUnlockThrottle* throttle = nullptr;
    QPointer<QuarryArchiveWriters> archives;
    QuarryArchiveLimits archiveLimits;
    // Where per-request work runs off the server thread; none: on the caller's thread.
    QuarryWorkPool* work = nullptr;
    // Where searches take turns; none: each search runs as soon as it arrives.
    QuarrySearchGate* searches = nullptr;
    QuarrySearchLimits searchLimits;
};

// An answer made by work on the context's pool, or right here without one.
HTTPResponse offloaded(const RequestContext& context, QuarryWorkPool::Work work,
                       bool endsWhenVisitorLeaves = false);

// HEAD is routed as GET is; the connection sends the head alone, and a folder's archive is not made.
HTTPResponse route(const HTTPRequest& request, const QuarryShareServerSnapshot& snapshot,
                   const RequestContext& context = {});

HTTPResponse handleUnlock(const HTTPRequest& request, const QString& slug,
                          const QuarryShareServerSnapshot& snapshot, const RequestContext& context = {});

} // namespace QuarryShareWeb
