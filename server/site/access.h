#pragma once

#include "core/password_digest.h"
#include "core/share_records.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/site/server_snapshot.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <optional>

// Which share a request may read: the share of a slug, and the password scheme of protected shares
// (salted digests, the unlock cookie and the unlock form).
namespace QuarrySite {

// The first enabled share whose slug is the given one.
std::optional<QuarryFolderShare> enabledShare(const QuarryShareServerSnapshot& snapshot, const QString& slug);

// The share a JSON request may read: the enabled share of the slug, when the visitor may see it;
// otherwise the answer to give instead (404 "Share not found", 401 "Password required").
struct ShareAccess {
    std::optional<QuarryFolderShare> share;
    HTTPResponse refusal;
};
ShareAccess shareForRequest(const HTTPRequest& request, const QString& slug,
                            const QuarryShareServerSnapshot& snapshot);

// Compares without an early exit, so the time taken does not tell how much of a secret matched.
bool constantTimeEquals(const QByteArray& a, const QByteArray& b);

// "blnshare_" + slug.
QString authCookieName(const QuarryFolderShare& share);
// sha256Hex(slug + ":" + digest): valid for one share until its slug or password changes.
QString authCookieValue(const QuarryFolderShare& share);
// Path=/; HttpOnly; SameSite=Lax; Max-Age=604800.
QStringList authCookieAttributes();

// Unprotected shares always; protected ones when the request carries the share's cookie.
bool isAuthorized(const HTTPRequest& request, const QuarryFolderShare& share);
// Whether the password matches the share's stored digest (yes when the share has no salt or digest).
bool verify(const QString& password, const QuarryFolderShare& share);

QMap<QString, QString> parseCookies(const QString& header);
// application/x-www-form-urlencoded: "+" is a space, then percent-decoding; not UTF-8 gives an empty map.
QMap<QString, QString> parseFormBody(const QByteArray& body);

// The value when it is a path on this site ("/..." but not "//..."), holding no control character and no
// backslash (browsers read "/\host" as "//host"); the fallback otherwise.
QString sanitizedRedirect(const std::optional<QString>& value, const QString& fallback);

} // namespace QuarrySite
