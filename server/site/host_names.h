#pragma once

#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/site/server_snapshot.h"

#include <QString>

#include <optional>

// Which names the server answers to. A web page elsewhere can point a name of its own at this computer
// (DNS rebinding) and then read every share as its own origin; answering only the names the server is
// known by keeps such a page out.
namespace QuarrySite {

// A host name in the one spelling it is compared in: lower case, without a trailing dot; nothing when
// the text cannot be a host name (blanks, ":", "/", "@", nothing at all).
std::optional<QString> normalizedHostName(const QString& text);

// A host a request asked for that this server does not answer to.
struct ForeignHost {
    // The host in lower case without its port, or the whole text when it is no host name at all.
    QString name;
    // Whether it is a host name the user could choose to answer (not text with userinfo, a path, …).
    bool isHostName = false;
};

// The host a request asked for when this server does not answer to it; nothing when it does, or when
// the request names no host at all (HTTP/1.0). An absolute-form target's host counts instead of Host.
std::optional<ForeignHost> foreignHost(const HTTPRequest& request, const QuarryShareServerSnapshot& snapshot);

// The answer for a foreign name: 421 with a short page that says which address to ask for.
HTTPResponse misdirectedAnswer(const QuarryShareServerSnapshot& snapshot, const QString& name);

} // namespace QuarrySite
