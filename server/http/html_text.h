#pragma once

#include <QString>

// Dynamic text inside the HTML the server writes itself: page texts, error pages.
namespace QuarryHTTP {

// & < > and the double quote, in that order.
QString escapeHTML(const QString& text);
// Makes JSON safe inside a script element: every "<" becomes \u003c, so no spelling of a closing tag or
// comment opener can appear; the JSON still parses to the same values.
QString escapeForScriptTag(const QString& text);

} // namespace QuarryHTTP
