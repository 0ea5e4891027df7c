#pragma once

#include "server/http/client_address.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/site/server_snapshot.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <optional>

// One answer that handed out a share's content (or an unlock attempt), as the sender's activity view
// and log keep it. Made on the server thread; reported again while a long answer is sent.
struct QuarryActivityEvent {
    // Tells apart the answers of one server, so progress reports update their own running answer.
    quint64 answer = 0;
    QDateTime time; // when the request was answered (UTC)
    QUuid shareID;
    QString slug;
    QString path; // the item's relative path within the share ("" for its root)
    // "page", "listing", "metadata", "search", "file", "range", "view", "archive", "picks",
    // "thumbnails" or "unlock".
    QString kind;
    QString client;
    QString via; // "local", "lan" or "public"
    int status = 0;
    qint64 bytesPromised = -1; // -1: unknown
    qint64 bytesSent = 0;
    qint64 durationMs = 0;
    // Where the bytes sent lie in the whole item, its length (-1: unknown) and entity tag; kept in memory
    // only, to tell when pieces sent to one visitor make the whole item.
    qint64 firstByte = 0;
    qint64 wholeLength = -1;
    QString entityTag;
    bool ended = false; // false: a progress report of an answer still being sent
    bool complete = false;
    std::optional<bool> unlocked; // unlock attempts only

    bool operator==(const QuarryActivityEvent&) const = default;
};

namespace QuarrySite {

// What a request asks of which share, when it names an enabled share: the event before it is answered
// (no status, bytes or duration yet). Nothing for the server's own pages and assets.
std::optional<QuarryActivityEvent> activityOf(const HTTPRequest& request,
                                              const QuarryShareServerSnapshot& snapshot,
                                              const QuarryHTTP::Client& client);

// What the answer tells before it is sent: an unlock's outcome, a download that is a folder's archive.
void noteAnswer(QuarryActivityEvent& event, const HTTPResponse& response);

// The event as its answer's delivery went (a download answered with a range becomes one).
void completeActivity(QuarryActivityEvent& event, const QuarryHTTPDelivery& delivery);

QString viaName(QuarryHTTP::Via via);

} // namespace QuarrySite
