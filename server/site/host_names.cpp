#include "server/site/host_names.h"

#include "server/http/html_text.h"
#include "server/site/pages.h"

#include <QHostAddress>
#include <QSysInfo>

namespace {

// The host and port of a target in absolute form ("http://name:port/path"); nothing for the usual
// origin form ("/path").
std::optional<QString> absoluteFormAuthority(const QString& target) {
    if (target.startsWith(QLatin1Char('/')))
        return std::nullopt;
    const qsizetype scheme = target.indexOf(QLatin1String("://"));
    if (scheme <= 0)
        return std::nullopt;
    const qsizetype start = scheme + 3;
    qsizetype end = start;
    while (end < target.size() && target.at(end) != QLatin1Char('/') && target.at(end) != QLatin1Char('?') &&
           target.at(end) != QLatin1Char('#'))
        ++end;
    return target.mid(start, end - start);
}

bool isPort(QStringView text) {
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// The host of "host[:port]" or "[v6][:port]", lower case and without one trailing dot; nothing when the
// text is not an authority that names a host alone (userinfo, a path, blanks, an empty host).
std::optional<QString> hostOf(const QString& authority) {
    if (authority.startsWith(QLatin1Char('['))) {
        const qsizetype close = authority.indexOf(QLatin1Char(']'));
        if (close < 0)
            return std::nullopt;
        const QStringView rest = QStringView(authority).mid(close + 1);
        if (!rest.isEmpty() && (rest.front() != QLatin1Char(':') || !isPort(rest.mid(1))))
            return std::nullopt;
        return authority.left(close + 1).toLower();
    }
    QString host = authority;
    if (const qsizetype colon = authority.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        if (!isPort(QStringView(authority).mid(colon + 1)))
            return std::nullopt;
        host = authority.left(colon);
    }
    return QuarrySite::normalizedHostName(host);
}

bool isAddressLiteral(const QString& host) {
    if (host.startsWith(QLatin1Char('[')))
        return QHostAddress(host.mid(1, host.size() - 2)).protocol() == QAbstractSocket::IPv6Protocol;
    for (const QChar c : host) {
        if (c != QLatin1Char('.') && (c < QLatin1Char('0') || c > QLatin1Char('9')))
            return false;
    }
    return QHostAddress(host).protocol() == QAbstractSocket::IPv4Protocol;
}

// This computer's own names: its host name, the host name's first label, and that label under
// ".local" (what the local network's mDNS responder announces and the main window shows).
bool isComputerName(const QString& host) {
    const QString full = QSysInfo::machineHostName().toLower();
    if (full.isEmpty())
        return false;
    const QString label = full.section(QLatin1Char('.'), 0, 0);
    return host == full || host == label || host == label + QStringLiteral(".local");
}

} // namespace

namespace QuarrySite {

std::optional<QString> normalizedHostName(const QString& text) {
    QString host = text;
    if (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    if (host.isEmpty() || host.startsWith(QLatin1Char('.')))
        return std::nullopt;
    for (const QChar c : host) {
        // The characters of a DNS name or an IPv4 address; anything else (":", "@", "/", blanks) is no
        // name this computer could have.
        const bool allowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                             (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                             (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
                             c == QLatin1Char('.') || c == QLatin1Char('_');
        if (!allowed)
            return std::nullopt;
    }
    return host.toLower();
}

std::optional<ForeignHost> foreignHost(const HTTPRequest& request,
                                       const QuarryShareServerSnapshot& snapshot) {
    std::optional<QString> authority = absoluteFormAuthority(request.target);
    if (!authority) {
        const auto host = request.headers.constFind(QStringLiteral("host"));
        if (host == request.headers.cend())
            return std::nullopt;
        authority = host.value();
    }
    const std::optional<QString> host = hostOf(*authority);
    if (!host)
        return ForeignHost{*authority, false};
    if (isAddressLiteral(*host) || *host == QLatin1String("localhost") ||
        snapshot.hostNames.contains(*host, Qt::CaseInsensitive) || isComputerName(*host))
        return std::nullopt;
    return ForeignHost{*host, !host->startsWith(QLatin1Char('['))};
}

HTTPResponse misdirectedAnswer(const QuarryShareServerSnapshot& snapshot, const QString& name) {
    return HTTPResponse::html(renderMisdirectedPage(snapshot, name), 421);
}

} // namespace QuarrySite
