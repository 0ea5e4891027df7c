#include "server/http/validators.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <ctime>

namespace {

// Entity tags of an If-None-Match list, without their weakness prefix; "*" stands for itself. A tag
// may hold commas, so the list is read tag by tag rather than split.
QStringList entityTags(const QString& list) {
    QStringList tags;
    qsizetype i = 0;
    while (i < list.size()) {
        const QChar c = list.at(i);
        if (c == QLatin1Char(',') || c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            ++i;
        } else if (c == QLatin1Char('*')) {
            tags << QStringLiteral("*");
            ++i;
        } else {
            if (list.mid(i, 2) == QLatin1String("W/"))
                i += 2;
            if (i >= list.size() || list.at(i) != QLatin1Char('"'))
                return tags; // not a list of entity tags: what was read so far stands
            const qsizetype close = list.indexOf(QLatin1Char('"'), i + 1);
            if (close < 0)
                return tags;
            tags << list.mid(i, close - i + 1);
            i = close + 1;
        }
    }
    return tags;
}

} // namespace

namespace QuarryHTTP {

FileValidators validatorsFor(const struct stat& status) {
    // Which file (device and inode), how long, and when its content and its inode last changed: a file
    // rewritten in place with its old modification time restored still gets a new tag. Written into a
    // buffer on the stack: this runs for every download.
    char identity[160];
    char* at = identity;
    char* const end = identity + sizeof identity;
    const auto put = [&at, end](auto number, char after) {
        // Seven numbers of at most 20 digits each always fit; a number that did not would be left out.
        const auto written = std::to_chars(at, end, number);
        if (written.ec != std::errc())
            return;
        at = written.ptr;
        if (after && at != end)
            *at++ = after;
    };
    put(static_cast<quint64>(status.st_dev), ':');
    put(static_cast<quint64>(status.st_ino), ':');
    put(static_cast<qint64>(status.st_size), ':');
    put(static_cast<qint64>(status.st_mtim.tv_sec), '.');
    put(static_cast<qint64>(status.st_mtim.tv_nsec), ':');
    put(static_cast<qint64>(status.st_ctim.tv_sec), '.');
    put(static_cast<qint64>(status.st_ctim.tv_nsec), 0);
    // Hashed, so the tag does not tell visitors about the server's disks.
    const QByteArray digest =
        QCryptographicHash::hash(QByteArrayView(identity, at - identity), QCryptographicHash::Sha256);
    static const char hex[] = "0123456789abcdef";
    char tag[34];
    tag[0] = '"';
    for (int i = 0; i < 16; ++i) {
        const auto byte = static_cast<unsigned char>(digest.at(i));
        tag[1 + 2 * i] = hex[byte >> 4];
        tag[2 + 2 * i] = hex[byte & 0xF];
    }
    tag[33] = '"';
    FileValidators validators;
    validators.entityTag = QString::fromLatin1(tag, sizeof tag);
    validators.modifiedSeconds = status.st_mtim.tv_sec;
    validators.lastModified = httpDate(validators.modifiedSeconds);
    return validators;
}

QString httpDate(qint64 secondsSinceEpoch) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t seconds = static_cast<time_t>(secondsSinceEpoch);
    struct tm parts {};
    if (!::gmtime_r(&seconds, &parts))
        return QString();
    const int year = parts.tm_year + 1900;
    if (year < 0 || year > 9999) {
        return QString::asprintf("%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday], parts.tm_mday,
                                 months[parts.tm_mon], year, parts.tm_hour, parts.tm_min, parts.tm_sec);
    }
    // "Sun, 06 Nov 1994 08:49:37 GMT", digit by digit: printf costs more than the rest of the answer.
    char text[] = "Day, 00 Mon 0000 00:00:00 GMT";
    const auto put = [&text](int at, int digits, int number) {
        for (int i = digits - 1; i >= 0; --i, number /= 10)
            text[at + i] = static_cast<char>('0' + number % 10);
    };
    std::copy(days[parts.tm_wday], days[parts.tm_wday] + 3, text);
    put(5, 2, parts.tm_mday);
    std::copy(months[parts.tm_mon], months[parts.tm_mon] + 3, text + 8);
    put(12, 4, year);
    put(17, 2, parts.tm_hour);
    put(20, 2, parts.tm_min);
    put(23, 2, parts.tm_sec);
    return QString::fromLatin1(text, sizeof text - 1);
}

std::optional<qint64> parseHTTPDate(const QString& text) {
    // The day's name is redundant and left unchecked, as most servers do.
    const QString simple = text.simplified();
    const qsizetype comma = simple.indexOf(QLatin1Char(','));
    const QString dated = comma >= 0 ? simple.mid(comma + 1).trimmed() : simple.section(QLatin1Char(' '), 1);
    // The preferred form, the obsolete RFC 850 form and C's asctime() form.
    for (const QLatin1String format :
         {QLatin1String("dd MMM yyyy hh:mm:ss 'GMT'"), QLatin1String("dd-MMM-yy hh:mm:ss 'GMT'"),
          QLatin1String("MMM d hh:mm:ss yyyy")}) {
        const QDateTime moment = QDateTime::fromString(dated, format);
        if (!moment.isValid())
            continue;
        QDate date = moment.date();
        // Two-digit years are read as 19xx; one that would be long past is this century's.
        if (format.contains(QLatin1String("-yy ")) && date.year() < 1970)
            date = date.addYears(100);
        return QDateTime(date, moment.time(), Qt::UTC).toSecsSinceEpoch();
    }
    return std::nullopt;
}

bool isNotModified(const HTTPRequest& request, const FileValidators& validators, qint64 now) {
    if (request.headers.contains(QStringLiteral("if-none-match"))) {
        // Weak comparison: a tag matches with or without its W/ prefix.
        const QStringList tags = entityTags(request.header(QStringLiteral("if-none-match")));
        return tags.contains(QStringLiteral("*")) || tags.contains(validators.entityTag);
    }
    if (!request.headers.contains(QStringLiteral("if-modified-since")))
        return false;
    const std::optional<qint64> since = parseHTTPDate(request.header(QStringLiteral("if-modified-since")));
    // A date that is no date, or one still to come, is ignored.
    return since && *since <= now && validators.modifiedSeconds <= *since;
}

bool ifRangeAllows(const HTTPRequest& request, const FileValidators& validators, bool tagsOnly) {
    if (!request.headers.contains(QStringLiteral("if-range")))
        return true;
    const QString condition = request.header(QStringLiteral("if-range"));
    // Only a strong tag can vouch for bytes: a weak one never matches.
    if (condition.startsWith(QLatin1Char('"')))
        return condition == validators.entityTag;
    if (tagsOnly || condition.startsWith(QLatin1String("W/")))
        return false;
    const std::optional<qint64> date = parseHTTPDate(condition);
    return date && *date == validators.modifiedSeconds;
}

void addValidators(HTTPResponse& response, const FileValidators& validators) {
    response.headers.insert(QStringLiteral("Accept-Ranges"), QStringLiteral("bytes"));
    response.headers.insert(QStringLiteral("ETag"), validators.entityTag);
    response.headers.insert(QStringLiteral("Last-Modified"), validators.lastModified);
}

HTTPResponse notModifiedAnswer(const FileValidators& validators) {
    HTTPResponse response = HTTPResponse::binary(QByteArray(), QString());
    response.statusCode = 304;
    response.reasonPhrase = HTTPResponse::reasonPhraseFor(304);
    response.headers.remove(QStringLiteral("Content-Type"));
    addValidators(response, validators);
    return response;
}

HTTPResponse rangeNotSatisfiableAnswer(qint64 size) {
    HTTPResponse response = HTTPResponse::binary(QByteArray(), QString());
    response.statusCode = 416;
    response.reasonPhrase = HTTPResponse::reasonPhraseFor(416);
    response.headers.remove(QStringLiteral("Content-Type"));
    response.headers.insert(QStringLiteral("Accept-Ranges"), QStringLiteral("bytes"));
    response.headers.insert(QStringLiteral("Content-Range"), QStringLiteral("bytes */%1").arg(size));
    return response;
}

} // namespace QuarryHTTP
