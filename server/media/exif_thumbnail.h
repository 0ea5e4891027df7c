#pragma once

#include <QByteArray>
#include <QIODevice>

#include <optional>

// The small JPEG a camera stores inside a photo's Exif block (its second image directory), found by
// reading the segments before the first scan only.
namespace QuarryEXIFThumbnail {

// Its bytes, when the photo on the device is a JPEG that carries one whole: inside its Exif segment,
// from its start marker to its end marker. The device's position is left as it was.
std::optional<QByteArray> jpegOf(QIODevice* device);

} // namespace QuarryEXIFThumbnail
