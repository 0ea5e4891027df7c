#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <atomic>
#include <optional>

// A small picture of an image file, for rows and the inspector.
struct QuarryThumbnail {
    QByteArray bytes;
    QString contentType; // image/jpeg, or image/webp for a picture with transparency
};

namespace QuarryThumbnailMaker {

// The longest side of a thumbnail, in pixels.
inline constexpr int kMaxSide = 320;

// Decodes the image on the device at reduced size (a JPEG is decoded at a fraction of its size, never
// whole), turns it upright as its orientation tag says and encodes it again. Nothing when the content
// is not a JPEG, PNG, GIF, WebP, BMP or TIFF image, cannot be decoded, or is refused by the decode
// gate (QuarryDecodeGate) for what it declares; nothing too when *cancelled is set while it waits for
// room to decode. The device is open, readable and seekable.
std::optional<QuarryThumbnail> make(QIODevice* device, const std::atomic_bool* cancelled = nullptr);

// image/jpeg or image/webp from a thumbnail's first bytes; "" for anything else.
QString contentTypeOf(const QByteArray& firstBytes);

} // namespace QuarryThumbnailMaker
