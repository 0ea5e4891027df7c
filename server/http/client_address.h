#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

namespace QuarryHTTP {

// The one spelling of an address that a client is known by: IPv4 in dotted decimal, IPv6 compressed
// in lower case, and an IPv4-mapped IPv6 address as its IPv4 address. Nothing when the text is not an
// address at all, or spells IPv4 in a way readers disagree on (a leading zero reads as octal to some).
std::optional<QString> canonicalAddress(const QString& text);

// The canonical spelling of a connection's peer.
QString canonicalAddress(const QHostAddress& address);

} // namespace QuarryHTTP
