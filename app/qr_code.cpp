#include "app/qr_code.h"

#include <qrencode.h>

#include <memory>

namespace {

const QRgb kDark = qRgb(0, 0, 0);
const QRgb kLight = qRgb(255, 255, 255);

// Dark also outside the code's own square is false: that is the quiet zone.
bool darkAt(const QuarryQRCode& code, int x, int y) {
    return x >= 0 && y >= 0 && x < code.size && y < code.size && code.isDark(x, y);
}

} // namespace

std::optional<QuarryQRCode> QuarryQRCode::encode(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> encoded(
        QRcode_encodeData(int(bytes.size()), reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!encoded || encoded->width <= 0)
        return std::nullopt;
    QuarryQRCode code;
    code.size = encoded->width;
    code.modules.reserve(qsizetype(code.size) * code.size);
    // Bit 0 of each byte is the module's colour; the other bits say what the module is for.
    for (int i = 0; i < code.size * code.size; ++i)
        code.modules.append((encoded->data[i] & 1) != 0);
    return code;
}

QImage qrCodeImage(const QuarryQRCode& code, int scale) {
    const int side = (code.size + 2 * kQRCodeQuietZone) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(kLight);
    for (int y = 0; y < code.size; ++y) {
        for (int x = 0; x < code.size; ++x) {
            if (!code.isDark(x, y))
                continue;
            const int left = (x + kQRCodeQuietZone) * scale, top = (y + kQRCodeQuietZone) * scale;
            for (int row = top; row < top + scale; ++row) {
                QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(row));
                std::fill(line + left, line + left + scale, kDark);
            }
        }
    }
    return image;
}

QString qrCodeTerminalText(const QuarryQRCode& code, bool colours) {
    const int first = -kQRCodeQuietZone, end = code.size + kQRCodeQuietZone;
    QString text;
    for (int y = first; y < end; y += 2) {
        if (colours)
            text += QStringLiteral("\x1b[30;107m"); // black on bright white
        for (int x = first; x < end; ++x) {
            const bool upper = darkAt(code, x, y), lower = y + 1 < end && darkAt(code, x, y + 1);
            text += upper ? (lower ? QChar(0x2588) : QChar(0x2580)) : (lower ? QChar(0x2584) : QChar(' '));
        }
        if (colours)
            text += QStringLiteral("\x1b[0m");
        text += QLatin1Char('\n');
    }
    return text;
}
