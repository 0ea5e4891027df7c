#include "core/password_digest.h"

#include <QCryptographicHash>

namespace QuarryDigests {

QString sha256Hex(const QString& text) {
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString passwordDigest(const QString& password, const QString& salt) {
    return sha256Hex(salt + QLatin1Char(':') + password);
}

} // namespace QuarryDigests
