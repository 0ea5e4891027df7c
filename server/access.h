#pragma once

#include "core/password_digest.h"
#include "core/share_records.h"
#include "server/http_request.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <optional>

// The password scheme of protected shares: salted digests, the unlock cookie and the unlock form.
namespace QuarryShareWeb {

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

} // namespace QuarryShareWeb
