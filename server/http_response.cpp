#include "server/http_response.h"

#include "server/pages.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <unistd.h>

namespace {

// A header value must never carry a line break or another control character into the response head,
// whatever a handler put there: the framing of the response would otherwise be the sender's to choose.
QString headerSafe(const QString& text) {
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7F)
            safe.append(c);
    }
    return safe;
}

} // namespace

QString HTTPCookieHeader::stringValue() const {
    QStringList items{name + QLatin1Char('=') + value};
    items += attributes;
    return items.join(QStringLiteral("; "));
}

HTTPFileBody::HTTPFileBody(int descriptor, qint64 length, qint64 offset)
    : m_descriptor(descriptor)
    , m_length(length)
    , m_offset(offset) {}

HTTPFileBody::~HTTPFileBody() {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

QByteArray HTTPFileBody::readAll() const {
    QByteArray bytes(static_cast<qsizetype>(m_length), Qt::Uninitialized);
    qint64 done = 0;
    while (done < m_length) {
        const ssize_t got =
            ::pread(m_descriptor, bytes.data() + done, static_cast<size_t>(m_length - done), m_offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    bytes.truncate(static_cast<qsizetype>(done));
    return bytes;
}

QByteArray HTTPResponse::serializedHead() const {
    QMap<QString, QString> lines = headers;
    if (chunked)
        lines.insert(QStringLiteral("Transfer-Encoding"), QStringLiteral("chunked"));
    else if (statusCode != 304)
        lines.insert(QStringLiteral("Content-Length"), QString::number(bodyLength()));
    if (!lines.contains(QStringLiteral("Connection")))
        lines.insert(QStringLiteral("Connection"), QStringLiteral("close"));

    QString head = QStringLiteral("HTTP/1.1 %1 %2\r\n").arg(statusCode).arg(headerSafe(reasonPhrase));
    // QMap keeps its keys in ascending code-unit order, which is the order the head is written in.
    for (auto it = lines.cbegin(); it != lines.cend(); ++it)
        head += headerSafe(it.key()) + QStringLiteral(": ") + headerSafe(it.value()) + QStringLiteral("\r\n");
    for (const HTTPCookieHeader& cookie : cookieHeaders)
        head += QStringLiteral("Set-Cookie: ") + headerSafe(cookie.stringValue()) + QStringLiteral("\r\n");
    head += QStringLiteral("\r\n");
    return head.toUtf8();
}

QString HTTPResponse::reasonPhraseFor(int statusCode) {
    switch (statusCode) {
    case 200:
        return QStringLiteral("OK");
    case 206:
        return QStringLiteral("Partial Content");
    case 303:
        return QStringLiteral("See Other");
    case 304:
        return QStringLiteral("Not Modified");
    case 400:
        return QStringLiteral("Bad Request");
    case 401:
        return QStringLiteral("Unauthorized");
    case 404:
        return QStringLiteral("Not Found");
    case 416:
        return QStringLiteral("Range Not Satisfiable");
    default:
        return QStringLiteral("Internal Server Error");
    }
}

const QMap<QString, QString>& HTTPResponse::securityHeaders() {
    static const QMap<QString, QString> headers{
        {QStringLiteral("X-Content-Type-Options"), QStringLiteral("nosniff")},
        {QStringLiteral("X-Frame-Options"), QStringLiteral("DENY")},
        {QStringLiteral("Content-Security-Policy"),
         QStringLiteral("default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' "
                        "'unsafe-inline'; img-src 'self' data:")},
    };
    return headers;
}

HTTPResponse HTTPResponse::html(const QString& text, int status) {
    HTTPResponse response;
    response.statusCode = status;
    response.reasonPhrase = reasonPhraseFor(status);
    response.headers = securityHeaders();
    response.headers.insert(QStringLiteral("Content-Type"), QStringLiteral("text/html; charset=utf-8"));
    response.body = text.toUtf8();
    return response;
}

HTTPResponse HTTPResponse::notFound(const QString& html) {
    return HTTPResponse::html(html, 404);
}

HTTPResponse HTTPResponse::badRequest(const QString& message) {
    return html(QStringLiteral("<h1>Bad Request</h1><p>") + message + QStringLiteral("</p>"), 400);
}

HTTPResponse HTTPResponse::internalServerError(const QString& message) {
    return html(QStringLiteral("<h1>Server Error</h1><p>") + QuarryShareWeb::escapeHTML(message) +
                    QStringLiteral("</p>"),
                500);
}

HTTPResponse HTTPResponse::json(const QMap<QString, QString>& pairs, int status) {
    QJsonObject object;
    for (auto it = pairs.cbegin(); it != pairs.cend(); ++it)
        object.insert(it.key(), it.value());
    return jsonData(QJsonDocument(object).toJson(QJsonDocument::Compact), status);
}

HTTPResponse HTTPResponse::jsonData(const QByteArray& bytes, int status) {
    HTTPResponse response;
    response.statusCode = status;
    response.reasonPhrase = reasonPhraseFor(status);
    response.headers = securityHeaders();
    response.headers.insert(QStringLiteral("Content-Type"),
                            QStringLiteral("application/json; charset=utf-8"));
    response.body = bytes;
    return response;
}

HTTPResponse HTTPResponse::binary(const QByteArray& bytes, const QString& contentType,
                                  const std::optional<QString>& disposition) {
    HTTPResponse response;
    response.headers = securityHeaders();
    response.headers.insert(QStringLiteral("Content-Type"), contentType);
    if (disposition)
        response.headers.insert(QStringLiteral("Content-Disposition"), *disposition);
    response.body = bytes;
    return response;
}

HTTPResponse HTTPResponse::file(std::shared_ptr<HTTPFileBody> body, const QString& contentType,
                                const std::optional<QString>& disposition) {
    HTTPResponse response = binary(QByteArray(), contentType, disposition);
    response.fileBody = std::move(body);
    return response;
}

HTTPResponse HTTPResponse::streamed(std::shared_ptr<HTTPBodySource> body, const QString& contentType,
                                    const std::optional<QString>& disposition) {
    HTTPResponse response = binary(QByteArray(), contentType, disposition);
    response.stream = std::move(body);
    response.chunked = true;
    return response;
}

HTTPResponse HTTPResponse::redirect(const QString& location, const QList<HTTPCookieHeader>& cookies) {
    HTTPResponse response;
    response.statusCode = 303;
    response.reasonPhrase = reasonPhraseFor(303);
    response.headers.insert(QStringLiteral("Location"), location);
    response.cookieHeaders = cookies;
    return response;
}

HTTPResponse HTTPResponse::later(std::shared_ptr<HTTPDeferredResponse> work) {
    HTTPResponse response;
    response.deferred = std::move(work);
    return response;
}
