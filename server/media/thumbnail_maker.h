#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

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
// is not a JPEG, PNG, GIF, WebP, BMP or TIFF image, cannot be decoded, or would take more memory than
// the image reader's allocation limit. The device is open, readable and seekable.
std::optional<QuarryThumbnail> make(QIODevice* device);

// image/jpeg or image/webp from a thumbnail's first bytes; "" for anything else.
QString contentTypeOf(const QByteArray& firstBytes);

} // namespace QuarryThumbnailMaker
