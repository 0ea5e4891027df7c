#include "server/site/download_request.h"

#include <QSet>
#include <QStringDecoder>

namespace {

// Percent-decoded bytes that must be UTF-8; nothing when an escape is malformed or the result is not.
std::optional<QByteArray> strictlyDecoded(QByteArrayView text, bool plusIsSpace) {
    QByteArray decoded;
    decoded.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            const int high = i + 2 < text.size() ? QuarryHTTP::hexValue(text[i + 1]) : -1;
            const int low = high >= 0 ? QuarryHTTP::hexValue(text[i + 2]) : -1;
            if (low < 0)
                return std::nullopt;
            decoded.append(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            decoded.append(plusIsSpace && c == '+' ? ' ' : c);
        }
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString checked = decoder(decoded);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

bool isFormBody(const HTTPRequest& request) {
    const QString type =
        request.header(QStringLiteral("content-type")).section(QLatin1Char(';'), 0, 0).trimmed();
    return type.compare(QLatin1String("application/x-www-form-urlencoded"), Qt::CaseInsensitive) == 0;
}

// Reads name=value items; a malformed pick makes the whole request one, wherever download=1 stands.
void readItems(QByteArrayView text, bool plusIsSpace, QuarrySite::DownloadRequest& into, qsizetype& pickCount,
               QSet<QByteArray>& seen) {
    using Problem = QuarrySite::DownloadRequest::Problem;
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = text.indexOf('&', start);
        if (end < 0)
            end = text.size();
        const QByteArrayView item = text.sliced(start, end - start);
        start = end + 1;
        const qsizetype equals = item.indexOf('=');
        const QByteArrayView key = equals < 0 ? item : item.first(equals);
        const QByteArrayView value = equals < 0 ? QByteArrayView() : item.sliced(equals + 1);
        if (key == "download" || key == "compress") {
            if (value == "1")
                (key == "download" ? into.download : into.compress) = true;
            continue;
        }
        if (key != "pick" || into.problem != Problem::none)
            continue;
        if (++pickCount > QuarrySite::kMaxPicks) {
            into.problem = Problem::tooManyPicks;
            continue;
        }
        const std::optional<QByteArray> name = strictlyDecoded(value, plusIsSpace);
        // Only a name of an entry of this very folder: nothing that could lead anywhere else.
        if (!name || name->isEmpty() || *name == "." || *name == ".." || name->contains('/') ||
            name->contains('\0')) {
            into.problem = Problem::invalidPick;
            continue;
        }
        if (!into.picks)
            into.picks.emplace();
        if (!seen.contains(*name)) {
            seen.insert(*name);
            into.picks->push_back(*name);
        }
    }
}

} // namespace

namespace QuarrySite {

DownloadRequest downloadRequestOf(const HTTPRequest& request, const QMap<QString, QString>& query) {
    DownloadRequest result;
    result.download = query.value(QStringLiteral("download")) == QLatin1String("1");
    result.compress = query.value(QStringLiteral("compress")) == QLatin1String("1");
    const bool form = request.method == QLatin1String("POST") && isFormBody(request);
    if (!result.download && !form)
        return result;
    const QUrl url = request.url();
    const QByteArray queryText = url.hasQuery() ? url.query(QUrl::FullyEncoded).toUtf8() : QByteArray();
    qsizetype pickCount = 0;
    QSet<QByteArray> seen;
    readItems(queryText, false, result, pickCount, seen);
    if (form)
        readItems(request.body, true, result, pickCount, seen);
    // Picks count only in a download's request: any other request is answered as it always was.
    if (!result.download)
        return DownloadRequest{};
    return result;
}

bool mayCarryPicksForm(const HTTPRequest& head) {
    // Only a form's body is read: any other body sent to a share's page is left unread, as before.
    const QString path = head.path();
    return head.method == QLatin1String("POST") && isFormBody(head) && path != QLatin1String("/") &&
           !path.startsWith(QLatin1String("/__"));
}

} // namespace QuarrySite
