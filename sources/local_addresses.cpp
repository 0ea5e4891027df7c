#include "sources/share_utilities.h"

#include <QSysInfo>

#include <QFile>

#include <algorithm>
#include <cstring>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// How many bytes of a socket address belong to it, by family.
socklen_t addressLength(const sockaddr* address) {
    switch (address->sa_family) {
    case AF_INET:
        return sizeof(sockaddr_in);
    case AF_INET6:
        return sizeof(sockaddr_in6);
    default:
        return sizeof(sockaddr);
    }
}

std::optional<QString> numericHost(const QByteArray& address) {
    // Copy into properly aligned storage; an entry too short for its family is not an address.
    sockaddr_storage storage{};
    if (address.size() < static_cast<qsizetype>(sizeof(sockaddr_in)) ||
        address.size() > static_cast<qsizetype>(sizeof(storage)))
        return std::nullopt;
    std::memcpy(&storage, address.constData(), static_cast<size_t>(address.size()));
    const auto* socketAddress = reinterpret_cast<const sockaddr*>(&storage);
    if (socketAddress->sa_family != AF_INET)
        return std::nullopt;
    char host[NI_MAXHOST];
    if (getnameinfo(socketAddress, sizeof(sockaddr_in), host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0)
        return std::nullopt;
    const void* end = std::memchr(host, '\0', sizeof(host));
    if (!end)
        return std::nullopt;
    return QString::fromUtf8(host, static_cast<const char*>(end) - host);
}

} // namespace

namespace QuarryShareUtilities {

QList<NetworkInterface> networkInterfaces() {
    ifaddrs* first = nullptr;
    if (getifaddrs(&first) != 0)
        return {};
    QList<NetworkInterface> entries;
    for (const ifaddrs* entry = first; entry; entry = entry->ifa_next) {
        NetworkInterface copy;
        copy.name = entry->ifa_name ? QFile::decodeName(entry->ifa_name) : QString();
        copy.flags = entry->ifa_flags;
        if (entry->ifa_addr)
            copy.address = QByteArray(reinterpret_cast<const char*>(entry->ifa_addr),
                                      static_cast<qsizetype>(addressLength(entry->ifa_addr)));
        entries.append(copy);
    }
    freeifaddrs(first);
    return entries;
}

QStringList localIPv4Addresses(const QList<NetworkInterface>& entries) {
    QStringList addresses;
    for (const NetworkInterface& entry : entries) {
        if (entry.address.isEmpty())
            continue;
        const bool upAndRunning = (entry.flags & IFF_UP) && (entry.flags & IFF_RUNNING);
        if (!upAndRunning || (entry.flags & IFF_LOOPBACK))
            continue;
        if (const std::optional<QString> host = numericHost(entry.address))
            addresses.append(*host);
    }
    // Plain text order, as the addresses are listed to the user.
    std::sort(addresses.begin(), addresses.end());
    return addresses;
}

QStringList localIPv4Addresses() {
    return localIPv4Addresses(networkInterfaces());
}

QStringList localOrigins(int port, const QString& computerName, const QList<NetworkInterface>& entries) {
    const QString suffix = QLatin1Char(':') + QString::number(port) + QLatin1Char('/');
    QStringList origins{QStringLiteral("http://127.0.0.1") + suffix,
                        QStringLiteral("http://localhost") + suffix};
    QString name = computerName;
    name.replace(QLatin1Char(' '), QLatin1Char('-'));
    if (!name.isEmpty())
        origins.append(QStringLiteral("http://") + name + QStringLiteral(".local") + suffix);
    for (const QString& address : localIPv4Addresses(entries))
        origins.append(QStringLiteral("http://") + address + suffix);
    origins.removeDuplicates();
    return origins;
}

QStringList localOrigins(int port) {
    // The ".local" origin must be a name that resolves: the local network's mDNS responder (Avahi)
    // announces the host name's first label, not the descriptive name a user may have set.
    return localOrigins(port, QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0),
                        networkInterfaces());
}

} // namespace QuarryShareUtilities
