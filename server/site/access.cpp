#include "server/site/access.h"

#include <QStringDecoder>
#include <QStringList>

#include <cctype>

namespace {

// A piece split at its first "=" only, with empty parts dropped ("=x" gives just "x").
QStringList nonEmptyPartsAroundFirstEquals(const QString& piece) {
    const qsizetype equals = piece.indexOf(QLatin1Char('='));
    QStringList parts =
        equals < 0 ? QStringList{piece} : QStringList{piece.left(equals), piece.mid(equals + 1)};
    parts.removeAll(QString());
    return parts;
}

// Percent-decodes form text strictly: a malformed escape or non-UTF-8 result gives nothing.
std::optional<QString> strictPercentDecoded(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    QByteArray decoded;
    decoded.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) != '%') {
            decoded.append(bytes.at(i));
            continue;
        }
        if (i + 2 >= bytes.size())
            return std::nullopt;
        if (!std::isxdigit(static_cast<unsigned char>(bytes.at(i + 1))) ||
            !std::isxdigit(static_cast<unsigned char>(bytes.at(i + 2))))
            return std::nullopt;
        decoded.append(static_cast<char>(bytes.mid(i + 1, 2).toInt(nullptr, 16)));
        i += 2;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString result = decoder(decoded);
    if (decoder.hasError())
        return std::nullopt;
    return result;
}

std::optional<QString> decodedFormPart(QString part) {
    part.replace(QLatin1Char('+'), QLatin1Char(' '));
    return strictPercentDecoded(part);
}

} // namespace

namespace QuarrySite {

std::optional<QuarryFolderShare> enabledShare(const QuarryShareServerSnapshot& snapshot,
                                              const QString& slug) {
    // Texts that differ only in their Unicode normalisation form name the same share.
    const QString wanted = slug.normalized(QString::NormalizationForm_C);
    for (const QuarryFolderShare& share : snapshot.shares) {
        if (share.isEnabled && share.urlSlug.normalized(QString::NormalizationForm_C) == wanted)
            return share;
    }
    return std::nullopt;
}

ShareAccess shareForRequest(const HTTPRequest& request, const QString& slug,
                            const QuarryShareServerSnapshot& snapshot) {
    std::optional<QuarryFolderShare> share = enabledShare(snapshot, slug);
    if (!share)
        return {std::nullopt,
                HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Share not found")}}, 404)};
    if (!isAuthorized(request, *share))
        return {std::nullopt,
                HTTPResponse::json({{QStringLiteral("error"), QStringLiteral("Password required")}}, 401)};
    return {std::move(share), HTTPResponse()};
}

bool constantTimeEquals(const QByteArray& a, const QByteArray& b) {
    // The length of a digest or cookie value is public; only the content must not leak.
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    const qsizetype length = qMin(a.size(), b.size());
    for (qsizetype i = 0; i < length; ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}

QString authCookieName(const QuarryFolderShare& share) {
    return QStringLiteral("blnshare_") + share.urlSlug;
}

QString authCookieValue(const QuarryFolderShare& share) {
    return QuarryDigests::sha256Hex(share.urlSlug + QLatin1Char(':') +
                                    share.passwordDigest.value_or(QString()));
}

QStringList authCookieAttributes() {
    return {QStringLiteral("Path=/"), QStringLiteral("HttpOnly"), QStringLiteral("SameSite=Lax"),
            QStringLiteral("Max-Age=604800")};
}

bool isAuthorized(const HTTPRequest& request, const QuarryFolderShare& share) {
    if (!share.isPasswordProtected())
        return true;
    const QMap<QString, QString> cookies = parseCookies(request.header(QStringLiteral("cookie")));
    const auto found = cookies.constFind(authCookieName(share));
    if (found == cookies.cend())
        return false;
    return constantTimeEquals(found->toUtf8(), authCookieValue(share).toUtf8());
}

bool verify(const QString& password, const QuarryFolderShare& share) {
    if (!share.passwordSalt || !share.passwordDigest)
        return true;
    return constantTimeEquals(QuarryDigests::passwordDigest(password, *share.passwordSalt).toUtf8(),
                              share.passwordDigest->toUtf8());
}

QMap<QString, QString> parseCookies(const QString& header) {
    QMap<QString, QString> cookies;
    const QStringList pieces = header.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
        const QStringList parts = nonEmptyPartsAroundFirstEquals(piece);
        if (parts.size() != 2)
            continue;
        const QString name = QuarryHTTP::trimmedBlanks(parts.at(0));
        const QString value = QuarryHTTP::trimmedBlanks(parts.at(1));
        // A piece of blanks on one side leaves an empty part: not a cookie.
        if (name.isEmpty() || value.isEmpty())
            continue;
        cookies.insert(name, value);
    }
    return cookies;
}

QMap<QString, QString> parseFormBody(const QByteArray& body) {
    QMap<QString, QString> form;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(body);
    if (decoder.hasError())
        return form;
    const QStringList pieces = text.split(QLatin1Char('&'), Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
        const QStringList parts = nonEmptyPartsAroundFirstEquals(piece);
        if (parts.isEmpty())
            continue;
        const std::optional<QString> key = decodedFormPart(parts.at(0));
        if (!key)
            continue;
        const std::optional<QString> value = parts.size() > 1 ? decodedFormPart(parts.at(1)) : std::nullopt;
        form.insert(*key, value.value_or(QString()));
    }
    return form;
}

QString sanitizedRedirect(const std::optional<QString>& value, const QString& fallback) {
    if (!value || !value->startsWith(QLatin1Char('/')) || value->startsWith(QStringLiteral("//")))
        return fallback;
    for (const QChar c : *value) {
        if (c.category() == QChar::Other_Control || c == QLatin1Char('\\'))
            return fallback;
    }
    return *value;
}

} // namespace QuarrySite
