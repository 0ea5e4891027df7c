// The unlock form's body and the Cookie header: what they yield is well-formed, reads back the same when
// written out again, and never lets a request in without the share's cookie value.
#include "fuzz_support.h"

#include "core/password_digest.h"
#include "server/site/access.h"

#include <QStringDecoder>
#include <QUrl>

namespace {

bool isUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    return !decoder.hasError();
}

QByteArray formBody(const QMap<QString, QString>& form) {
    QByteArrayList pairs;
    for (auto field = form.cbegin(); field != form.cend(); ++field)
        pairs.append(QUrl::toPercentEncoding(field.key()) + '=' + QUrl::toPercentEncoding(field.value()));
    return pairs.join('&');
}

QString cookieHeader(const QMap<QString, QString>& cookies) {
    QStringList pairs;
    for (auto cookie = cookies.cbegin(); cookie != cookies.cend(); ++cookie)
        pairs.append(cookie.key() + QLatin1Char('=') + cookie.value());
    return pairs.join(QStringLiteral("; "));
}

void checkForm(const QByteArray& body) {
    const QMap<QString, QString> form = QuarrySite::parseFormBody(body);
    if (form.isEmpty())
        return;
    FUZZ_CHECK(isUtf8(body), body);
    for (auto field = form.cbegin(); field != form.cend(); ++field)
        FUZZ_CHECK(!field.key().isEmpty(), body);
    // What a browser would send for the same fields reads back as those fields.
    FUZZ_CHECK(QuarrySite::parseFormBody(formBody(form)) == form, body + "\n-> " + formBody(form));
}

void checkCookies(const QByteArray& input) {
    const QString header = QString::fromUtf8(input);
    const QMap<QString, QString> cookies = QuarrySite::parseCookies(header);
    for (auto cookie = cookies.cbegin(); cookie != cookies.cend(); ++cookie) {
        FUZZ_CHECK(!cookie.key().isEmpty() && !cookie.value().isEmpty(), input);
        FUZZ_CHECK(!cookie.key().contains(QLatin1Char(';')) && !cookie.value().contains(QLatin1Char(';')),
                   input);
        FUZZ_CHECK(!cookie.key().contains(QLatin1Char('=')), input);
        FUZZ_CHECK(QuarryHTTP::trimmedBlanks(cookie.key()) == cookie.key(), input);
        FUZZ_CHECK(QuarryHTTP::trimmedBlanks(cookie.value()) == cookie.value(), input);
    }
    FUZZ_CHECK(QuarrySite::parseCookies(cookieHeader(cookies)) == cookies, input);

    // A protected share lets the request in only when the header carries its exact cookie.
    static const QuarryFolderShare share = [] {
        QuarryFolderShare made;
        made.urlSlug = QStringLiteral("s");
        made.isEnabled = true;
        made.passwordSalt = QStringLiteral("c2FsdA==");
        made.passwordDigest =
            QuarryDigests::passwordDigest(QStringLiteral("open sesame"), *made.passwordSalt);
        return made;
    }();
    HTTPRequest request;
    request.method = QStringLiteral("GET");
    request.target = QStringLiteral("/s/");
    request.headers.insert(QStringLiteral("cookie"), header);
    if (QuarrySite::isAuthorized(request, share))
        FUZZ_CHECK(header.contains(QuarrySite::authCookieValue(share)), input);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuarryFuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkForm(input);
    checkCookies(input);
    return 0;
}
