#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// Stateless helpers for slugs, addresses and URLs (path resolution and app paths are in core/).
namespace QuarryShareUtilities {

// A URL path segment made of lower-case letters, marks and numbers of any script joined by "-":
// accents are folded away ("Café Noir" gives "cafe-noir"); text without letters or numbers gives "share".
QString slugify(const QString& text);

// slugify(seed), or the first of its forms with "-2", "-3", … appended that is not in taken.
QString uniqueSlug(const QString& seed, const QSet<QString>& taken);

// One entry of the host's interface enumeration: the interface name, its IFF_* flags and the bytes of
// its socket address (empty when the entry has none).
struct NetworkInterface {
    QString name;
    unsigned int flags = 0;
    QByteArray address;

    bool operator==(const NetworkInterface&) const = default;
};

// The host's interface addresses as getifaddrs reports them, in its order; empty when it fails.
QList<NetworkInterface> networkInterfaces();

// The numeric IPv4 addresses of interfaces that are up, running and not loopback, sorted as text.
// Duplicates stay.
QStringList localIPv4Addresses(const QList<NetworkInterface>& entries);
QStringList localIPv4Addresses();

// The computer's user-visible name: PRETTY_HOSTNAME of the machine-info file when it is set and not
// blank, otherwise hostName.
QString computerName(const QString& machineInfoPath, const QString& hostName);
QString computerName();

// The origins ("http://host:port/") under which the server can be reached from here and from the local
// network: 127.0.0.1 and localhost first, then the computer's name under ".local", then each LAN
// address; without duplicates.
QStringList localOrigins(int port, const QString& computerName, const QList<NetworkInterface>& entries);
// With this machine's interfaces and, for ".local", its host name (what mDNS announces on Linux).
QStringList localOrigins(int port);

} // namespace QuarryShareUtilities
