#include "server/http/html_text.h"

namespace QuarryHTTP {

QString escapeHTML(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    escaped.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    escaped.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    escaped.replace(QLatin1Char('"'), QStringLiteral("&quot;"));
    return escaped;
}

QString escapeForScriptTag(const QString& text) {
    // "<" only ever occurs inside JSON strings, where \u003c is the same character.
    QString escaped = text;
    escaped.replace(QLatin1Char('<'), QStringLiteral("\\u003c"));
    return escaped;
}

} // namespace QuarryHTTP
