#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <atomic>
#include <optional>

// A picture made of an image file: a thumbnail for rows and tiles, a display rendition for the viewer
// and the inspector, or the whole picture as a JPEG for photos a browser cannot show (HEIC).
struct QuarryThumbnail {
    QByteArray bytes;
    QString contentType; // image/jpeg, or image/webp for a thumbnail with transparency
};

// Which picture: the size it fits in and how it is encoded.
enum class QuarryRendition {
    thumbnail, // at most kMaxSide to a side; WebP where the picture has transparency
    display,   // at most kDisplaySide to a side, JPEG: a photo at a screen's size, at a fraction of its bytes
    whole,     // the whole picture, JPEG
};

namespace QuarryThumbnailMaker {

// The longest side of a thumbnail, in pixels.
inline constexpr int kMaxSide = 320;
// The longest side of a display rendition.
inline constexpr int kDisplaySide = 2048;

// Decodes the image on the device at reduced size (a JPEG is decoded at a fraction of its size, never
// whole), turns it upright as its orientation says and encodes it again. Nothing when the content is
// not a JPEG, PNG, GIF, WebP, BMP, TIFF or HEIF image, cannot be decoded, or is refused by the decode
// gate (QuarryDecodeGate) for what it declares (for HEIF, its pixel budget); nothing too when
// *cancelled is set while it waits for room to decode. The device is open, readable and seekable.
std::optional<QuarryThumbnail> make(QIODevice* device, QuarryRendition rendition = QuarryRendition::thumbnail,
                                    const std::atomic_bool* cancelled = nullptr);

// image/jpeg or image/webp from a thumbnail's first bytes, application/json from a video's facts; "" for
// anything else.
QString contentTypeOf(const QByteArray& firstBytes);

} // namespace QuarryThumbnailMaker
