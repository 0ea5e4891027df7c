#include "server/media/exif_thumbnail.h"

#include <QScopeGuard>

namespace {

// Segments read before the first scan, at most, as for the decode's cost.
constexpr int kMostSegments = 4096;
constexpr quint16 kThumbnailOffsetTag = 0x0201;
constexpr quint16 kThumbnailLengthTag = 0x0202;

// A TIFF block as Exif stores it, read in its own byte order; every read is bounded by the block.
class TIFFBlock {
public:
    explicit TIFFBlock(QByteArray bytes)
        : m_bytes(std::move(bytes))
        , m_bigEndian(m_bytes.startsWith("MM")) {}

    bool valid() const { return (m_bytes.startsWith("MM") || m_bytes.startsWith("II")) && read(2, 2) == 42; }
    qint64 size() const { return m_bytes.size(); }
    QByteArray mid(qint64 offset, qint64 length) const { return m_bytes.mid(offset, length); }

    // An unsigned number of `width` bytes at `offset`; -1 past the end.
    qint64 read(qint64 offset, int width) const {
        if (offset < 0 || offset + width > m_bytes.size())
            return -1;
        qint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const auto byte = static_cast<uchar>(m_bytes.at(offset + (m_bigEndian ? i : width - 1 - i)));
            value = value << 8 | byte;
        }
        return value;
    }

private:
    QByteArray m_bytes;
    bool m_bigEndian;
};

// The thumbnail's offset and length from the second image directory, which follows the first.
std::optional<QByteArray> thumbnailIn(const TIFFBlock& tiff) {
    if (!tiff.valid())
        return std::nullopt;
    const qint64 first = tiff.read(4, 4);
    const qint64 firstCount = tiff.read(first, 2);
    if (firstCount < 0)
        return std::nullopt;
    const qint64 second = tiff.read(first + 2 + firstCount * 12, 4);
    const qint64 count = tiff.read(second, 2);
    if (second <= 0 || count < 0)
        return std::nullopt;
    qint64 offset = -1;
    qint64 length = -1;
    for (qint64 entry = 0; entry < count; ++entry) {
        const qint64 at = second + 2 + entry * 12;
        const qint64 tag = tiff.read(at, 2);
        if (tag < 0)
            return std::nullopt;
        // A LONG (4), or a SHORT (3) from writers that save space.
        const int width = tiff.read(at + 2, 2) == 3 ? 2 : 4;
        if (tag == kThumbnailOffsetTag)
            offset = tiff.read(at + 8, width);
        else if (tag == kThumbnailLengthTag)
            length = tiff.read(at + 8, width);
    }
    // A length that runs past the block, or bytes that are not one JPEG from start to end, are a lie.
    if (offset <= 0 || length < 4 || offset + length > tiff.size())
        return std::nullopt;
    QByteArray jpeg = tiff.mid(offset, length);
    while (jpeg.endsWith('\0'))
        jpeg.chop(1); // padding some writers add
    if (!jpeg.startsWith("\xFF\xD8\xFF") || !jpeg.endsWith("\xFF\xD9"))
        return std::nullopt;
    return jpeg;
}

} // namespace

namespace QuarryEXIFThumbnail {

std::optional<QByteArray> jpegOf(QIODevice* device) {
    const qint64 start = device->pos();
    const auto restore = qScopeGuard([device, start] { device->seek(start); });
    if (!device->seek(0) || device->read(2) != QByteArray("\xFF\xD8", 2))
        return std::nullopt;
    for (int segment = 0; segment < kMostSegments; ++segment) {
        const QByteArray marker = device->read(4);
        if (marker.size() != 4 || static_cast<uchar>(marker.at(0)) != 0xFF)
            return std::nullopt;
        const auto kind = static_cast<uchar>(marker.at(1));
        const int length = static_cast<uchar>(marker.at(2)) << 8 | static_cast<uchar>(marker.at(3));
        // Exif comes before the pictures' data; past the first scan there is nothing to find.
        if (kind == 0xDA || kind == 0xD9 || length < 2)
            return std::nullopt;
        if (kind == 0xE1) {
            const QByteArray body = device->read(length - 2);
            if (body.size() == length - 2 && body.startsWith(QByteArray("Exif\0\0", 6)))
                return thumbnailIn(TIFFBlock(body.mid(6)));
            continue;
        }
        if (!device->seek(device->pos() + length - 2))
            return std::nullopt;
    }
    return std::nullopt;
}

} // namespace QuarryEXIFThumbnail
