#include "server/http/http_request.h"

#include <QStringDecoder>
#include <QStringList>

#include <limits>

namespace {

const QByteArray kHeadEnd("\r\n\r\n");

bool isBlank(QChar c) {
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

std::optional<QString> strictUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

namespace QuarryHTTP {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QString trimmedBlanks(const QString& text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && isBlank(text.at(start)))
        ++start;
    while (end > start && isBlank(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

QString percentDecoded(const QString& text, bool keepEncodedSlash) {
    const QByteArray bytes = text.toUtf8();
    QByteArray decoded;
    decoded.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c == '%' && i + 2 < bytes.size()) {
            const int high = hexValue(bytes.at(i + 1));
            const int low = hexValue(bytes.at(i + 2));
            if (high >= 0 && low >= 0) {
                const char value = static_cast<char>(high * 16 + low);
                if (keepEncodedSlash && value == '/') {
                    decoded.append(bytes.constData() + i, 3);
                } else {
                    decoded.append(value);
                }
                i += 2;
                continue;
            }
        }
        decoded.append(c);
    }
    return QString::fromUtf8(decoded);
}

QMap<QString, QString> queryParameters(const HTTPRequest& request) {
    QMap<QString, QString> parameters;
    const QUrl url = request.url();
    if (!url.hasQuery())
        return parameters;
    const QStringList items = url.query(QUrl::FullyEncoded).split(QLatin1Char('&'));
    for (const QString& item : items) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        if (equals < 0) {
            parameters.remove(percentDecoded(item));
            continue;
        }
        parameters.insert(percentDecoded(item.left(equals)), percentDecoded(item.mid(equals + 1)));
    }
    return parameters;
}

} // namespace QuarryHTTP

std::optional<HTTPRequest> HTTPRequest::parse(const QByteArray& bytes) {
    const qsizetype headEnd = bytes.indexOf(kHeadEnd);
    if (headEnd < 0)
        return std::nullopt;
    std::optional<HTTPRequest> request = parseHead(bytes.left(headEnd));
    if (!request || !hasSoundFraming(bytes.left(headEnd)))
        return std::nullopt;
    const qint64 length = contentLength(request->headers);
    if (length < 0)
        return std::nullopt;
    const qsizetype bodyStart = headEnd + kHeadEnd.size();
    if (bytes.size() - bodyStart < length)
        return std::nullopt;
    request->body = bytes.mid(bodyStart, static_cast<qsizetype>(length));
    return request;
}

std::optional<HTTPRequest> HTTPRequest::parseHead(const QByteArray& head) {
    const std::optional<QString> text = strictUtf8(head);
    if (!text)
        return std::nullopt;
    const QStringList lines = text->split(QStringLiteral("\r\n"));
    const QStringList requestLine = lines.first().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (requestLine.size() < 2)
        return std::nullopt;

    HTTPRequest request;
    request.method = requestLine.at(0);
    request.target = requestLine.at(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString& line = lines.at(i);
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        request.headers.insert(line.left(colon).toLower(), QuarryHTTP::trimmedBlanks(line.mid(colon + 1)));
    }
    return request;
}

qint64 HTTPRequest::contentLength(const QMap<QString, QString>& headers) {
    const QString text = headers.value(QStringLiteral("content-length"));
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return 0;
    qint64 value = 0;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
        const int digit = c.unicode() - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
    }
    if (overflow)
        return negative ? -1 : std::numeric_limits<qint64>::max();
    return negative ? -value : value;
}

bool HTTPRequest::hasSoundFraming(const QByteArray& head) {
    std::optional<QByteArray> length;
    qsizetype start = head.indexOf("\r\n");
    while (start >= 0) {
        start += 2;
        const qsizetype end = head.indexOf("\r\n", start);
        const QByteArray line = head.mid(start, end < 0 ? -1 : end - start);
        start = end;
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        // Blanks around the name are not allowed; a lenient reader ahead of us might take the name anyway.
        const QByteArray rawName = line.left(colon).toLower();
        const QByteArray name = rawName.trimmed();
        if (name == "transfer-encoding" || (name == "content-length" && rawName != name))
            return false;
        if (name != "content-length")
            continue;
        QByteArray value = line.mid(colon + 1).trimmed();
        if (value.isEmpty())
            return false;
        for (const char c : value) {
            if (c < '0' || c > '9')
                return false;
        }
        while (value.size() > 1 && value.startsWith('0'))
            value.remove(0, 1);
        // Past 63 bits a reader would have to wrap or saturate it, and readers differ in which.
        if (value.size() > 18)
            return false;
        if (length && *length != value)
            return false;
        length = value;
    }
    return true;
}

QUrl HTTPRequest::url() const {
    static const QUrl base(QStringLiteral("http://localhost"));
    QUrl fallback = base;
    fallback.setPath(QStringLiteral("/"));
    const QUrl reference(target, QUrl::StrictMode);
    if (!reference.isValid() || target.isEmpty())
        return fallback;
    // A target of another scheme ("x:docs/a.txt", "mailto:...") or without a leading "/" in its path
    // ("http:docs") names nothing here; read as it stands, its path would be relative.
    const QUrl resolved = base.resolved(reference);
    const QString scheme = resolved.scheme();
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        (!resolved.path().isEmpty() && !resolved.path().startsWith(QLatin1Char('/'))))
        return fallback;
    return resolved;
}

QString HTTPRequest::path() const {
    QString decoded = QuarryHTTP::percentDecoded(url().path(QUrl::FullyEncoded), true);
    if (decoded.isEmpty())
        return QStringLiteral("/");
    // "/docs//" is "/docs" too: every trailing "/" goes, not just the last.
    while (decoded.size() > 1 && decoded.endsWith(QLatin1Char('/')))
        decoded.chop(1);
    return decoded;
}
