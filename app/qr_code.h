#pragma once

#include <QImage>
#include <QList>
#include <QString>

#include <optional>

// The module matrix of a QR code (made by libqrencode), row by row, true for a dark module.
struct QuarryQRCode {
    int size = 0;
    QList<bool> modules;

    bool isDark(int x, int y) const { return modules.at(qsizetype(y) * size + x); }
    bool operator==(const QuarryQRCode&) const = default;

    // The code of the text's UTF-8 bytes with medium error correction; nothing when the text is too
    // long for any QR code.
    static std::optional<QuarryQRCode> encode(const QString& text);
};

// Modules around the code that scanners need light, on every side.
inline constexpr int kQRCodeQuietZone = 4;

// Dark modules on a light quiet zone, in whatever theme the window wears: scanners read only that way
// round. Each module is `scale` pixels square.
QImage qrCodeImage(const QuarryQRCode& code, int scale);

// The code as lines of UTF-8 half blocks, two module rows per line, quiet zone included. With `colours`
// each line sets black on white itself, so a dark terminal shows it the right way round; without them
// the blocks are the dark modules (for a light background).
QString qrCodeTerminalText(const QuarryQRCode& code, bool colours);
