#include "server/media/thumbnail_maker.h"

#include "server/media/decode_gate.h"
#include "server/media/exif_thumbnail.h"
#include "server/media/heif_reader.h"
#include "server/media/image_cost.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QScopeGuard>
#include <QSet>
#include <QTransform>

namespace {

// Raster formats only: a vector format (SVG) would be rendered by a far larger parser, and the rare
// others are not photos anybody shares.
const QSet<QByteArray>& decodedFormats() {
    static const QSet<QByteArray> formats{"jpeg", "png", "gif", "webp", "bmp", "tiff"};
    return formats;
}

bool canWriteWebP() {
    static const bool supported = QImageWriter::supportedImageFormats().contains("webp");
    return supported;
}

// JPEG has no transparency: what was see-through shows as white, as on most pages.
QImage flattened(const QImage& image) {
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    return flat;
}

int maxSideOf(QuarryRendition rendition) {
    switch (rendition) {
    case QuarryRendition::thumbnail:
        return QuarryThumbnailMaker::kMaxSide;
    case QuarryRendition::display:
        return QuarryThumbnailMaker::kDisplaySide;
    case QuarryRendition::whole:
        break;
    }
    return 0;
}

int qualityOf(QuarryRendition rendition) {
    return rendition == QuarryRendition::whole ? 90 : 80;
}

// The picture through Qt's readers, at most maxSide to a side (0: whole), upright unless told not to,
// once the decode gate has let it in.
std::optional<QImage> readScaled(QIODevice* device, const QByteArray& format, int maxSide,
                                 const std::atomic_bool* cancelled, bool upright = true) {
    QImageReader reader(device, format);
    reader.setAutoTransform(upright);
    // The size before the orientation is applied, which is also what the scaled size refers to.
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return std::nullopt;
    QSize decoded = size;
    if (maxSide > 0 && (size.width() > maxSide || size.height() > maxSide)) {
        decoded = size.scaled(maxSide, maxSide, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
        reader.setScaledSize(decoded);
    }
    // What the file declares decides whether it is decoded at all, before a byte of pixels is.
    const std::optional<QuarryDecodeGate::Cost> cost = QuarryImageCost::ofRead(reader, decoded);
    if (!cost)
        return std::nullopt;
    QuarryDecodeGate& gate = QuarryDecodeGate::process();
    const QuarryDecodeGate::Permit permit = gate.admit(*cost, cancelled);
    if (!permit)
        return std::nullopt;
    reader.setAllocationLimit(static_cast<int>(gate.limits().maxBytes >> 20));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    // Not every reader decodes at the size asked for.
    if (maxSide > 0 && (image.width() > maxSide || image.height() > maxSide))
        image = image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

// As the photo's orientation says: mirrored or flipped first, then a quarter turn to the right.
QImage turned(QImage image, QImageIOHandler::Transformations orientation) {
    image = std::move(image).mirrored(orientation.testFlag(QImageIOHandler::TransformationMirror),
                                      orientation.testFlag(QImageIOHandler::TransformationFlip));
    if (orientation.testFlag(QImageIOHandler::TransformationRotate90))
        image = image.transformed(QTransform().rotate(90));
    return image;
}

// A camera's photo carries a small JPEG of itself in its Exif block. Where that is at least the
// thumbnail's size and of the photo's shape (not a smaller picture with bars added), it is the
// thumbnail for a fraction of the photo's decode: a 24-megapixel photo takes a core most of 100 ms to
// decode even at an eighth of its size. It knows no orientation of its own; the photo's applies.
std::optional<QImage> fromEmbedded(QIODevice* device, int maxSide, const std::atomic_bool* cancelled) {
    const qint64 start = device->pos();
    const auto restore = qScopeGuard([device, start] { device->seek(start); });
    QImageReader photo(device, "jpeg");
    const QSize size = photo.size();
    const QImageIOHandler::Transformations orientation = photo.transformation();
    if (!size.isValid() || size.isEmpty() || !device->seek(start))
        return std::nullopt;
    std::optional<QByteArray> bytes = QuarryEXIFThumbnail::jpegOf(device);
    if (!bytes)
        return std::nullopt;
    const QSize wanted = size.scaled(maxSide, maxSide, Qt::KeepAspectRatio).boundedTo(size);
    QBuffer buffer(&*bytes);
    buffer.open(QIODevice::ReadOnly);
    const QSize own = QImageReader(&buffer, "jpeg").size();
    const qint64 across = qint64(own.width()) * size.height();
    const qint64 down = qint64(own.height()) * size.width();
    if (own.width() < wanted.width() || own.height() < wanted.height() ||
        qAbs(across - down) * 100 > qMax(across, down) || !buffer.seek(0))
        return std::nullopt;
    std::optional<QImage> image = readScaled(&buffer, "jpeg", maxSide, cancelled, false);
    if (!image || image->width() < wanted.width() - 1 || image->height() < wanted.height() - 1)
        return std::nullopt;
    return turned(std::move(*image), orientation);
}

} // namespace

namespace QuarryThumbnailMaker {

std::optional<QuarryThumbnail> make(QIODevice* device, QuarryRendition rendition,
                                    const std::atomic_bool* cancelled) {
    const QByteArray format = QImageReader::imageFormat(device);
    const int maxSide = maxSideOf(rendition);
    std::optional<QImage> read;
    if (format == "jpeg" && rendition == QuarryRendition::thumbnail)
        read = fromEmbedded(device, maxSide, cancelled);
    if (!read && decodedFormats().contains(format))
        read = readScaled(device, format, maxSide, cancelled);
    else if (QuarryHEIFReader::canRead(device))
        read = QuarryHEIFReader::read(device, maxSide, cancelled);
    if (!read)
        return std::nullopt;
    QImage image = std::move(*read);

    // Only a thumbnail keeps transparency (as WebP); a rendition for the viewer is a JPEG.
    const bool webp = rendition == QuarryRendition::thumbnail && image.hasAlphaChannel() && canWriteWebP();
    if (!webp && image.hasAlphaChannel())
        image = flattened(image);
    QuarryThumbnail thumbnail;
    QBuffer buffer(&thumbnail.bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, webp ? "webp" : "jpeg");
    writer.setQuality(qualityOf(rendition));
    if (!writer.write(image))
        return std::nullopt;
    thumbnail.contentType = webp ? QStringLiteral("image/webp") : QStringLiteral("image/jpeg");
    return thumbnail;
}

QString contentTypeOf(const QByteArray& firstBytes) {
    if (firstBytes.startsWith("\xFF\xD8\xFF"))
        return QStringLiteral("image/jpeg");
    if (firstBytes.startsWith("RIFF") && firstBytes.mid(8, 4) == "WEBP")
        return QStringLiteral("image/webp");
    // A video's facts, kept beside its frames.
    if (firstBytes.startsWith("{\"duration\""))
        return QStringLiteral("application/json");
    return QString();
}

} // namespace QuarryThumbnailMaker
