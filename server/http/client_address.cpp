#include "server/http/client_address.h"

#include "server/http/http_request.h"

#include <arpa/inet.h>
#include <cstring>

namespace {

// Longer than any spelling of an IPv6 address with an IPv4 tail.
constexpr qsizetype kMaxAddressText = 64;

QString ipv4Text(const unsigned char* bytes) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, bytes, text, sizeof(text));
    return QString::fromLatin1(text);
}

} // namespace

namespace QuarryHTTP {

std::optional<QString> canonicalAddress(const QString& text) {
    if (text.isEmpty() || text.size() > kMaxAddressText)
        return std::nullopt;
    for (const QChar c : text) {
        if (!c.isDigit() && !(c >= QLatin1Char('a') && c <= QLatin1Char('f')) &&
            !(c >= QLatin1Char('A') && c <= QLatin1Char('F')) && c != QLatin1Char('.') &&
            c != QLatin1Char(':'))
            return std::nullopt;
    }
    const QByteArray ascii = text.toLatin1();
    // inet_pton takes dotted decimal only: no octal, hexadecimal or shortened forms, no leading zeros.
    unsigned char ipv4[4];
    if (::inet_pton(AF_INET, ascii.constData(), ipv4) == 1)
        return ipv4Text(ipv4);
    unsigned char ipv6[16];
    if (::inet_pton(AF_INET6, ascii.constData(), ipv6) != 1)
        return std::nullopt;
    static const unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(ipv6, mappedPrefix, sizeof(mappedPrefix)) == 0)
        return ipv4Text(ipv6 + 12);
    char canonical[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, ipv6, canonical, sizeof(canonical));
    return QString::fromLatin1(canonical);
}

QString canonicalAddress(const QHostAddress& address) {
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QHostAddress(ipv4).toString();
    QHostAddress plain = address;
    plain.setScopeId(QString());
    return canonicalAddress(plain.toString()).value_or(plain.toString());
}

QString networkOf(const QString& canonical) {
    if (!canonical.contains(QLatin1Char(':')))
        return canonical;
    unsigned char ipv6[16];
    if (::inet_pton(AF_INET6, canonical.toLatin1().constData(), ipv6) != 1)
        return canonical;
    std::memset(ipv6 + 8, 0, 8);
    char prefix[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, ipv6, prefix, sizeof(prefix));
    return QString::fromLatin1(prefix) + QStringLiteral("/64");
}

QString wideNetworkOf(const QString& canonical) {
    const QByteArray ascii = canonical.toLatin1();
    unsigned char ipv6[16];
    if (::inet_pton(AF_INET6, ascii.constData(), ipv6) == 1) {
        std::memset(ipv6 + 6, 0, 10);
        char prefix[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, ipv6, prefix, sizeof(prefix));
        return QString::fromLatin1(prefix) + QStringLiteral("/48");
    }
    unsigned char ipv4[4];
    if (::inet_pton(AF_INET, ascii.constData(), ipv4) == 1) {
        ipv4[3] = 0;
        return ipv4Text(ipv4) + QStringLiteral("/24");
    }
    return canonical;
}

Client clientOf(const HTTPRequest& request, const QHostAddress& peer) {
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    if ((isIPv4 ? QHostAddress(ipv4) : peer).isLoopback()) {
        if (const auto forwarded =
                canonicalAddress(request.header(QStringLiteral("cf-connecting-ip")).trimmed()))
            return Client{*forwarded, Via::publicLink};
        return Client{canonicalAddress(peer), Via::local};
    }
    return Client{canonicalAddress(peer), Via::lan};
}

} // namespace QuarryHTTP
