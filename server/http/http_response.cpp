#include "server/http/http_response.h"

#include "server/http/html_text.h"

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

// The text's UTF-8 without control characters; plain ASCII, the usual case, is copied as it stands.
void appendHeaderSafe(QByteArray& out, const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() >= 0x80) {
            out.append(headerSafe(text).toUtf8());
            return;
        }
    }
    const qsizetype start = out.size();
    out.resize(start + text.size());
    char* at = out.data() + start;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7F)
            *at++ = static_cast<char>(c.unicode());
    }
    out.truncate(at - out.constData());
}

} // namespace

QString HTTPCookieHeader::stringValue() const {
    QStringList items{name + QLatin1Char('=') + value};
    items += attributes;
    return items.join(QStringLiteral("; "));
}

QuarryHTTPFileBody::QuarryHTTPFileBody(int descriptor, qint64 length, qint64 offset)
    : m_descriptor(descriptor)
    , m_length(length)
    , m_offset(offset) {}

QuarryHTTPFileBody::~QuarryHTTPFileBody() {
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

QByteArray QuarryHTTPFileBody::readAll() const {
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
    // The lines the connection adds, in name order: they take their place among the handler's headers
    // (which a QMap keeps in ascending code-unit order, the order the head is written in) and replace
    // any of the same name, without the headers being copied for each answer.
    struct Added {
        const char* name;
        QByteArray value;
    };
    Added added[2];
    int addedCount = 0;
    if (!headers.contains(QStringLiteral("Connection")))
        added[addedCount++] = {"Connection", QByteArrayLiteral("close")};
    if (chunked)
        added[addedCount++] = {"Transfer-Encoding", QByteArrayLiteral("chunked")};
    else if (statusCode != 304)
        added[addedCount++] = {"Content-Length", QByteArray::number(bodyLength())};

    QByteArray head;
    head.reserve(1024);
    head.append("HTTP/1.1 ").append(QByteArray::number(statusCode)).append(' ');
    appendHeaderSafe(head, reasonPhrase);
    head.append("\r\n");
    int next = 0;
    const auto addOwnLine = [&head](const Added& line) {
        head.append(line.name).append(": ").append(line.value).append("\r\n");
    };
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        while (next < addedCount && QStringView(it.key()).compare(QLatin1StringView(added[next].name)) > 0)
            addOwnLine(added[next++]);
        if (next < addedCount && QStringView(it.key()).compare(QLatin1StringView(added[next].name)) == 0)
            continue;
        appendHeaderSafe(head, it.key());
        head.append(": ");
        appendHeaderSafe(head, it.value());
        head.append("\r\n");
    }
    while (next < addedCount)
        addOwnLine(added[next++]);
    for (const HTTPCookieHeader& cookie : cookieHeaders) {
        head.append("Set-Cookie: ");
        appendHeaderSafe(head, cookie.stringValue());
        head.append("\r\n");
    }
    // After everything else, always in this order: no link leaks a share's addresses to another site,
    // no window of another site keeps a hold on ours, and no other site embeds a shared file.
    head.append("Referrer-Policy: same-origin\r\nCross-Origin-Opener-Policy: same-origin\r\n");
    if (carriesSharedFile)
        head.append("Cross-Origin-Resource-Policy: same-origin\r\n");
    head.append("\r\n");
    return head;
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
    case 413:
        return QStringLiteral("Content Too Large");
    case 416:
        return QStringLiteral("Range Not Satisfiable");
    case 421:
        return QStringLiteral("Misdirected Request");
    case 503:
        return QStringLiteral("Service Unavailable");
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

HTTPResponse HTTPResponse::contentTooLarge() {
    return html(QStringLiteral("<h1>Content Too Large</h1><p>The request's body is larger than this address "
                               "accepts.</p>"),
                413);
}

HTTPResponse HTTPResponse::internalServerError(const QString& message) {
    return html(QStringLiteral("<h1>Server Error</h1><p>") + QuarryHTTP::escapeHTML(message) +
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

HTTPResponse HTTPResponse::file(std::shared_ptr<QuarryHTTPFileBody> body, const QString& contentType,
                                const std::optional<QString>& disposition, const QString& policy) {
    HTTPResponse response = fileBytes(QByteArray(), contentType, disposition, policy);
    response.fileBody = std::move(body);
    return response;
}

HTTPResponse HTTPResponse::fileBytes(const QByteArray& bytes, const QString& contentType,
                                     const std::optional<QString>& disposition, const QString& policy) {
    HTTPResponse response = binary(bytes, contentType, disposition);
    response.headers.insert(QStringLiteral("Content-Security-Policy"), policy);
    response.carriesSharedFile = true;
    return response;
}

HTTPResponse HTTPResponse::streamed(std::shared_ptr<QuarryHTTPBodySource> body, const QString& contentType,
                                    const std::optional<QString>& disposition) {
    HTTPResponse response = fileBytes(QByteArray(), contentType, disposition);
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

HTTPResponse HTTPResponse::later(std::shared_ptr<QuarryHTTPDeferredResponse> work) {
    HTTPResponse response;
    response.deferred = std::move(work);
    return response;
}

namespace {

// Seconds a client is asked to wait before it asks again.
const QString kRetryAfter = QStringLiteral("5");

} // namespace

HTTPResponse HTTPResponse::busy() {
    HTTPResponse response = html(
        QStringLiteral("<h1>Service Unavailable</h1><p>The server is busy. Try again in a moment.</p>"), 503);
    response.headers.insert(QStringLiteral("Retry-After"), kRetryAfter);
    return response;
}

HTTPResponse HTTPResponse::busyJSON() {
    HTTPResponse response = json({{QStringLiteral("error"), QStringLiteral("Server busy")}}, 503);
    response.headers.insert(QStringLiteral("Retry-After"), kRetryAfter);
    return response;
}
