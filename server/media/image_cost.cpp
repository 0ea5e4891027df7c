#include "server/media/image_cost.h"

#include <QIODevice>
#include <QImage>
#include <QImageReader>
#include <QScopeGuard>

#include <algorithm>
#include <vector>

namespace {

// Beyond the pixels: the decoder's own tables and buffers, and the picture's object.
constexpr qint64 kOverheadBytes = 1 << 20;
// Segments read before the first scan, at most: real files have a few dozen.
constexpr int kMostSegments = 4096;
// Per block of 8 by 8 samples: 64 coefficients of two bytes.
constexpr qint64 kBytesPerBlock = 64 * 2;

qint64 roundedUp(qint64 value, qint64 multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

bool isFrameMarker(uchar marker) {
    // Every SOFn; C4 (Huffman tables), C8 (reserved) and CC (arithmetic conditioning) share the range.
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

} // namespace

namespace QuarryImageCost {

std::optional<JPEGFrame> jpegFrame(QIODevice* device) {
    const qint64 start = device->pos();
    const auto restore = qScopeGuard([device, start] { device->seek(start); });
    if (!device->seek(0) || device->read(2) != QByteArray("\xFF\xD8", 2))
        return std::nullopt;
    uchar byte = 0;
    const auto next = [&] {
        char c = 0;
        if (!device->getChar(&c))
            return false;
        byte = static_cast<uchar>(c);
        return true;
    };
    std::optional<JPEGFrame> frame;
    // Each component's sampling factors, horizontal and vertical.
    std::vector<std::pair<int, int>> sampling;
    bool progressive = false;
    for (int segment = 0; segment < kMostSegments; ++segment) {
        // The next marker: whatever comes before its 0xFF is skipped, as decoders do, and so are fill bytes.
        do {
            if (!next())
                return std::nullopt;
        } while (byte != 0xFF);
        do {
            if (!next())
                return std::nullopt;
        } while (byte == 0xFF);
        const uchar marker = byte;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue; // no length follows
        if (marker == 0xD9)
            return std::nullopt; // the end, before any scan
        const QByteArray lengthBytes = device->read(2);
        if (lengthBytes.size() != 2)
            return std::nullopt;
        const int length =
            (static_cast<uchar>(lengthBytes.at(0)) << 8) | static_cast<uchar>(lengthBytes.at(1));
        if (length < 2)
            return std::nullopt;
        if (!isFrameMarker(marker) && marker != 0xDA) {
            if (!device->seek(device->pos() + length - 2))
                return std::nullopt;
            continue;
        }
        const QByteArray body = device->read(length - 2);
        if (body.size() != length - 2)
            return std::nullopt;
        const auto at = [&body](qsizetype i) { return static_cast<int>(static_cast<uchar>(body.at(i))); };
        if (isFrameMarker(marker)) {
            if (frame || body.size() < 6)
                return std::nullopt;
            const int height = at(1) << 8 | at(2);
            const int width = at(3) << 8 | at(4);
            const int components = at(5);
            if (width == 0 || height == 0 || components == 0 || body.size() < 6 + 3 * components)
                return std::nullopt;
            for (int c = 0; c < components; ++c) {
                const int factors = at(6 + 3 * c + 1);
                const int horizontal = factors >> 4;
                const int vertical = factors & 0x0F;
                if (horizontal < 1 || horizontal > 4 || vertical < 1 || vertical > 4)
                    return std::nullopt;
                sampling.emplace_back(horizontal, vertical);
            }
            // SOF2, SOF6, SOF10 and SOF14 are the progressive ones.
            progressive = (marker & 0x03) == 0x02;
            frame = JPEGFrame{QSize(width, height), components, 0};
            continue;
        }
        // The first scan: the decoder keeps the whole image's coefficients when the image comes in
        // several passes, or this scan holds only some of the components.
        if (!frame || body.isEmpty())
            return std::nullopt;
        if (progressive || at(0) < frame->components) {
            int mostHorizontal = 1;
            int mostVertical = 1;
            for (const auto& [horizontal, vertical] : sampling) {
                mostHorizontal = std::max(mostHorizontal, horizontal);
                mostVertical = std::max(mostVertical, vertical);
            }
            for (const auto& [horizontal, vertical] : sampling) {
                const qint64 across = (qint64(frame->size.width()) * horizontal + 8 * mostHorizontal - 1) /
                                      (8 * mostHorizontal);
                const qint64 down =
                    (qint64(frame->size.height()) * vertical + 8 * mostVertical - 1) / (8 * mostVertical);
                frame->wholeImageBytes +=
                    roundedUp(across, horizontal) * roundedUp(down, vertical) * kBytesPerBlock;
            }
        }
        return frame;
    }
    return std::nullopt;
}

std::optional<QuarryDecodeGate::Cost> ofRead(QImageReader& reader, QSize decodedSize) {
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return std::nullopt;
    if (!decodedSize.isValid() || decodedSize.isEmpty())
        decodedSize = size;
    const qint64 pixels = qint64(size.width()) * size.height();
    // The picture handed back, always in four bytes a pixel at most here.
    qint64 bytes = kOverheadBytes + qint64(decodedSize.width()) * decodedSize.height() * 4;
    const QByteArray format = reader.format();
    if (format == "jpeg") {
        const std::optional<JPEGFrame> frame = jpegFrame(reader.device());
        if (!frame)
            return std::nullopt;
        // The decoder scales by 1/2, 1/4 or 1/8 on its own, to no less than the size asked for.
        int denominator = 8;
        while (denominator > 1 && (size.width() / denominator < decodedSize.width() ||
                                   size.height() / denominator < decodedSize.height()))
            denominator /= 2;
        const qint64 across = (size.width() + denominator - 1) / denominator;
        const qint64 down = (size.height() + denominator - 1) / denominator;
        // Grey decodes to a byte a pixel, anything else to four; rows in flight take a few more per column.
        bytes += frame->wholeImageBytes + across * down * (frame->components == 1 ? 1 : 4) +
                 qint64(size.width()) * 64;
        return QuarryDecodeGate::Cost{size, 1, bytes};
    }
    // Decoded whole at their own size; a PNG of 16-bit samples to eight bytes a pixel. GIF, WebP and
    // TIFF decoders keep a second full-size buffer (the canvas, or the raster they decode into).
    int bitsPerPixel = 32;
    if (format == "png")
        bitsPerPixel = std::max<int>(32, QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel());
    const int buffers = format == "gif" || format == "webp" || format == "tiff" ? 2 : 1;
    bytes += pixels * bitsPerPixel / 8 * buffers;
    return QuarryDecodeGate::Cost{size, 1, bytes};
}

} // namespace QuarryImageCost
