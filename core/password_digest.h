#pragma once

#include <QString>

// The salted digest a protected share stores: the store computes it when a password is set, the server
// when a visitor unlocks, so both must agree to the byte.
namespace QuarryDigests {

// Lower-case hexadecimal SHA-256 of the text's UTF-8 bytes.
QString sha256Hex(const QString& text);
// sha256Hex(salt + ":" + password).
QString passwordDigest(const QString& password, const QString& salt);

} // namespace QuarryDigests
