#pragma once

#include "server/archives/archive_writers.h"
#include "server/files/name_walk.h"
#include "server/http/client_address.h"
#include "server/http/http_response.h"
#include "server/media/thumbnails.h"
#include "server/site/unlock_throttle.h"
#include "server/site/unlock_turns.h"
#include "server/work/work_pool.h"

#include <QPointer>
#include <QString>

class QuarryChecksumCache;
class QuarrySearchGate;
class QuarrySharedWork;

namespace QuarrySite {

// What a handler needs besides the request: who is asking (for throttling unlock attempts, sharing out
// archive places and taking turns at searching), the throttle itself (none: unthrottled), where
// archives are written (none: a folder download answers the server-error page), and the pool and
// bounds of per-request work.
struct RequestContext {
    QuarryHTTP::Client client;
    QuarryUnlockThrottle* throttle = nullptr;
    // Where unlock attempts wait while a share's budget of guesses is spent; none: checked at once.
    QuarryUnlockTurns* unlockTurns = nullptr;
    QPointer<QuarryArchiveWriters> archives;
    QuarryArchiveLimits archiveLimits;
    // Where per-request work runs off the server thread; none: on the caller's thread.
    QuarryWorkPool* work = nullptr;
    // Where searches take turns; none: each search runs as soon as it arrives.
    QuarrySearchGate* searches = nullptr;
    // Where listings are made, shared by those who ask for the same one at once; none: on the pool.
    QuarrySharedWork* listings = nullptr;
    QuarrySearchLimits searchLimits;
    // Where thumbnails are made and kept; none: made on the caller's thread, not kept.
    QuarryThumbnails* thumbnails = nullptr;
    // Where archives keep the CRCs of the files they send; none: not kept.
    QuarryChecksumCache* checksums = nullptr;
};

// An answer made by work on the context's pool, or right here without one.
HTTPResponse offloaded(const RequestContext& context, QuarryWorkPool::Work work,
                       bool endsWhenVisitorLeaves = false);

// A JSON API answer made later: when its work gets no turn, the API's busy error instead of the page.
HTTPResponse answeringBusyAsJSON(HTTPResponse response);

} // namespace QuarrySite
