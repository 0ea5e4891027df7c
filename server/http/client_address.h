#pragma once

#include <QHostAddress>
#include <QString>

class HTTPRequest;

#include <optional>

namespace QuarryHTTP {

// The one spelling of an address that a client is known by: IPv4 in dotted decimal, IPv6 compressed
// in lower case, and an IPv4-mapped IPv6 address as its IPv4 address. Nothing when the text is not an
// address at all, or spells IPv4 in a way readers disagree on (a leading zero reads as octal to some).
std::optional<QString> canonicalAddress(const QString& text);

// The canonical spelling of a connection's peer.
QString canonicalAddress(const QHostAddress& address);

// An address's network as limits count it (see `Client::network`): an IPv6 address's /64 prefix
// ("2001:db8:1:2::/64"), any other text as it is.
QString networkOf(const QString& canonical);

// The wider network an address's holder commonly has (an IPv6 /48, an IPv4 /24: "10.1.2.0/24"), for
// sharing out turns at something scarce, so that one holder's many networks take one place in line.
QString wideNetworkOf(const QString& canonical);

// How a visitor reached the server: from this computer, from the local network, or through the public
// link, whose tunnel delivers every visitor on loopback with the visitor's own address in
// `Cf-Connecting-Ip`.
enum class Via { local, lan, publicLink };

// Who is asking and how they came. The one rule every part of the server uses: `Cf-Connecting-Ip`
// counts only on loopback, and only when it is an address in its one spelling (any other text would
// let one client pose as many); then the visitor came through the public link.
struct Client {
    QString address;
    Via via = Via::local;

    bool viaPublicLink() const { return via == Via::publicLink; }
    // What limits count by: one IPv6 network hands a single visitor a whole /64 to rotate through, so
    // an IPv6 address counts by its /64; IPv4 stays per address, as NAT puts many people behind one.
    QString network() const { return networkOf(address); }
};

Client clientOf(const HTTPRequest& request, const QHostAddress& peer);

} // namespace QuarryHTTP
