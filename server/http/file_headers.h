#pragma once

#include <QString>

// The headers that name a shared file's bytes: its type and how it is offered.
namespace QuarryHTTP {

// attachment; filename="NAME" with double quotes, backslashes and control characters removed from the
// name, so nothing in it can end or escape the quoted text.
QString contentDisposition(const QString& fileName);
// inline; filename="NAME", the name cleaned as for an attachment.
QString inlineDisposition(const QString& fileName);

// The registered type of the name's extension; application/octet-stream without one.
QString mimeTypeForName(const QString& fileName);

} // namespace QuarryHTTP
