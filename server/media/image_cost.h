#pragma once

#include "server/media/decode_gate.h"

#include <QSize>

#include <optional>

class QIODevice;
class QImageReader;

// What decoding an image with Qt's image reader costs, worked out from what the file declares before
// anything is decoded, for QuarryDecodeGate.
namespace QuarryImageCost {

// The cost of reader.read() of one frame, the reader asked to decode at decodedSize (its scaled size,
// or the image's own size): the declared size and the most bytes the decode takes. For a JPEG that is
// read from its frame and first scan headers: one whose scans need every coefficient of the image at
// once (progressive, or its components in scans of their own) costs those too, however small the size
// asked for. Nothing when the declared size cannot be read. The device's position is kept.
std::optional<QuarryDecodeGate::Cost> ofRead(QImageReader& reader, QSize decodedSize);

// A JPEG's frame as its headers declare it, up to its first scan.
struct JPEGFrame {
    QSize size;
    int components = 0;
    // Bytes of coefficients the decoder holds for the whole image; 0 when it decodes a row at a time.
    qint64 wholeImageBytes = 0;
};
// Nothing when the device holds no JPEG frame header before its first scan.
std::optional<JPEGFrame> jpegFrame(QIODevice* device);

} // namespace QuarryImageCost
