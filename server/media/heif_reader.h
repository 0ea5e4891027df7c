#pragma once

#include <QIODevice>
#include <QImage>

#include <optional>

// HEIC and HEIF photos (what phones take), which neither Qt nor most browsers read, decoded with
// libheif. Threads: any; decodes on different threads share only a budget of pixels.
namespace QuarryHEIFReader {

// The most pixels a photo may declare: its size is read before anything is decoded, so a file that
// claims more is refused without costing its pixels. (A 48-megapixel phone photo is well within.)
inline constexpr qint64 kMaxPixels = 100'000'000;

// Whether the device starts as a HEIF file libheif can decode. The device is open and seekable.
bool canRead(QIODevice* device);

// The primary picture, upright: the file's own rotation and mirroring applied, and the Exif
// orientation too when the file has none of its own (a file with both would be turned twice). When
// maxSide is above zero, scaled to fit within it. Nothing when the file cannot be decoded, declares
// more than kMaxPixels, or a bound of libheif's is passed.
std::optional<QImage> read(QIODevice* device, int maxSide);

} // namespace QuarryHEIFReader
