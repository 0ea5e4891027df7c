#include "server/media/heif_reader.h"

#include "server/media/decode_gate.h"

#include <libheif/heif.h>

#include <QTransform>

#include <memory>

namespace {

// Bytes of a file's metadata box read to learn what its pictures declare.
constexpr qint64 kMaxMetaBytes = 4 * 1024 * 1024;
// A side beyond any picture's, so that what a file declares never overflows when multiplied.
constexpr qint64 kMaxSide = 1'000'000;

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
    void operator()(const heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
// A decoded picture and the room it holds at the decode gate, kept until the picture made of it goes.
struct Decoded {
    explicit Decoded(QuarryDecodeGate::Permit admitted)
        : permit(std::move(admitted)) {}
    ~Decoded() { heif_image_release(image); }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    QuarryDecodeGate::Permit permit;
    heif_image* image = nullptr;
};

void releaseDecoded(void* decoded) {
    delete static_cast<Decoded*>(decoded);
}

struct OptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// libheif reads the file through the device, never past its end.
struct DeviceSource {
    QIODevice* device;
    qint64 size;
};

int64_t sourcePosition(void* source) {
    return static_cast<DeviceSource*>(source)->device->pos();
}

int sourceRead(void* data, size_t size, void* source) {
    QIODevice* device = static_cast<DeviceSource*>(source)->device;
    return device->read(static_cast<char*>(data), static_cast<qint64>(size)) == static_cast<qint64>(size) ? 0
                                                                                                          : 1;
}

int sourceSeek(int64_t position, void* source) {
    return static_cast<DeviceSource*>(source)->device->seek(position) ? 0 : 1;
}

heif_reader_grow_status sourceWait(int64_t targetSize, void* source) {
    return targetSize > static_cast<DeviceSource*>(source)->size ? heif_reader_grow_status_size_beyond_eof
                                                                 : heif_reader_grow_status_size_reached;
}

quint32 bigEndian32(const uchar* bytes) {
    return (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) | (quint32(bytes[2]) << 8) | bytes[3];
}

// One box of an ISO base media file: where its contents lie and its type.
struct Box {
    qint64 begin = 0;
    qint64 end = 0;
    QByteArray type;
};

// The boxes in bytes [begin, end), as far as their headers can be trusted.
QList<Box> boxesIn(const QByteArray& bytes, qint64 begin, qint64 end) {
    QList<Box> boxes;
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    qint64 at = begin;
    while (at + 8 <= end && boxes.size() < 256) {
        qint64 size = bigEndian32(data + at);
        qint64 header = 8;
        if (size == 1) {
            if (at + 16 > end)
                break;
            size = (qint64(bigEndian32(data + at + 8)) << 32) | bigEndian32(data + at + 12);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at)
            break;
        boxes.append(Box{at + header, at + size, bytes.mid(at + 4, 4)});
        at += size;
    }
    return boxes;
}

std::optional<Box> child(const QByteArray& bytes, const Box& parent, const char* type, qint64 skip = 0) {
    for (const Box& box : boxesIn(bytes, parent.begin + skip, parent.end)) {
        if (box.type == type)
            return box;
    }
    return std::nullopt;
}

// What a file's item properties declare, read before libheif is asked to decode anything.
struct Declared {
    bool ownTransform = false; // it turns or mirrors its picture itself (irot, imir), which libheif applies
    qint64 largestCodedPixels = 0; // the largest picture or tile any item declares (ispe)
    // Colour samples decoded per pixel, times two (4:2:0 is 3, 4:4:4 is 6); 6 when nothing says.
    int samplesTimesTwo = 0;
};

// Samples per pixel times two of a coded picture's configuration (hvcC, av1C); 0 when it says nothing.
int samplesTimesTwoOf(const QByteArray& meta, const Box& property) {
    const auto* data = reinterpret_cast<const uchar*>(meta.constData());
    if (property.type == "hvcC" && property.end - property.begin > 16) {
        static constexpr int kByFormat[] = {2, 3, 4, 6}; // monochrome, 4:2:0, 4:2:2, 4:4:4
        return kByFormat[data[property.begin + 16] & 3];
    }
    if (property.type == "av1C" && property.end - property.begin > 2) {
        // Monochrome, then chroma subsampled across and down.
        const uchar flags = data[property.begin + 2];
        if (flags & 0x10)
            return 2;
        return 2 + 4 / ((flags & 0x08 ? 2 : 1) * (flags & 0x04 ? 2 : 1));
    }
    return 0;
}

Declared declaredIn(QIODevice* device) {
    Declared declared;
    const qint64 size = device->size();
    qint64 at = 0;
    for (int count = 0; at + 8 <= size && count < 64; ++count) {
        if (!device->seek(at))
            break;
        const QByteArray head = device->read(16);
        if (head.size() < 8)
            break;
        const auto* data = reinterpret_cast<const uchar*>(head.constData());
        qint64 boxSize = bigEndian32(data);
        if (boxSize == 1 && head.size() == 16)
            boxSize = (qint64(bigEndian32(data + 8)) << 32) | bigEndian32(data + 12);
        else if (boxSize == 0)
            boxSize = size - at;
        if (boxSize < 8 || boxSize > size - at)
            break;
        if (head.mid(4, 4) == "meta") {
            if (boxSize > kMaxMetaBytes || !device->seek(at))
                break;
            const QByteArray meta = device->read(boxSize);
            const QList<Box> top = boxesIn(meta, 0, meta.size());
            if (top.isEmpty())
                break;
            // meta is a full box: version and flags come before its children.
            const std::optional<Box> properties = child(meta, top.first(), "iprp", 4);
            const std::optional<Box> container = properties ? child(meta, *properties, "ipco") : std::nullopt;
            if (!container)
                break;
            const auto* bytes = reinterpret_cast<const uchar*>(meta.constData());
            for (const Box& property : boxesIn(meta, container->begin, container->end)) {
                if (property.type == "irot" || property.type == "imir")
                    declared.ownTransform = true;
                // A full box: version and flags, then width and height.
                if (property.type == "ispe" && property.end - property.begin >= 12) {
                    const qint64 width = qMin<qint64>(bigEndian32(bytes + property.begin + 4), kMaxSide);
                    const qint64 height = qMin<qint64>(bigEndian32(bytes + property.begin + 8), kMaxSide);
                    declared.largestCodedPixels = qMax(declared.largestCodedPixels, width * height);
                }
                declared.samplesTimesTwo = qMax(declared.samplesTimesTwo, samplesTimesTwoOf(meta, property));
            }
            break;
        }
        at += boxSize;
    }
    if (declared.samplesTimesTwo == 0)
        declared.samplesTimesTwo = 6;
    return declared;
}

// What decoding the primary picture takes, for the decode gate: libheif decodes a picture (or each tile
// of it in turn) into planes of its own colour samples, copies them into the whole picture, then
// converts that to RGBA; this reader then scales or turns it. The most of these held at once counts.
// (A 48-megapixel phone photo, 8-bit 4:2:0, takes 5.5 bytes a pixel: just within one decode's budget.)
QuarryDecodeGate::Cost costOf(const heif_image_handle* handle, const Declared& declared, qint64 fileBytes,
                              int maxSide, int orientation) {
    const QSize size(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
    const qint64 pixels = qint64(qMax(size.width(), 0)) * qMax(size.height(), 0);
    const qint64 coded = qMax(declared.largestCodedPixels, pixels);
    const bool deep = qMax(heif_image_handle_get_luma_bits_per_pixel(handle),
                           heif_image_handle_get_chroma_bits_per_pixel(handle)) > 8;
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    // Bytes per pixel, times two so that 4:2:0 stays whole.
    const qint64 planesTimesTwo = (declared.samplesTimesTwo + (alpha ? 2 : 0)) * (deep ? 2 : 1);
    constexpr qint64 kRGBA = 4;
    // The decoder's own picture and libheif's copy of it, beside the whole picture being filled, and the
    // coded bytes read for them (at most the file).
    const qint64 decoding = (planesTimesTwo * pixels + 2 * planesTimesTwo * coded) / 2 + fileBytes;
    // Deeper samples pass through 16-bit RGBA on their way to 8 bits.
    const qint64 converting = planesTimesTwo * pixels / 2 + (kRGBA + (deep ? 2 * kRGBA : 0)) * pixels;
    const bool shrinks = maxSide > 0 && (size.width() > maxSide || size.height() > maxSide);
    // Scaled from libheif's own pixels into a small picture, or the whole turned into a copy.
    const qint64 finished = shrinks ? qint64(maxSide) * maxSide : orientation != 1 ? pixels : 0;
    const qint64 finishing = kRGBA * (pixels + finished);
    const qint64 bytes = qMax(decoding, qMax(converting, finishing));
    // A tile larger than the picture weighs as much as a picture of its size.
    const QSize weighed = coded > pixels ? QSize(int(qMin<qint64>(coded, INT_MAX)), 1) : size;
    return QuarryDecodeGate::Cost{weighed, 1, bytes};
}

quint16 tiffShort(const uchar* bytes, bool little) {
    return little ? quint16(bytes[0] | (bytes[1] << 8)) : quint16((bytes[0] << 8) | bytes[1]);
}

quint32 tiffLong(const uchar* bytes, bool little) {
    return little ? quint32(bytes[0]) | (quint32(bytes[1]) << 8) | (quint32(bytes[2]) << 16) |
                        (quint32(bytes[3]) << 24)
                  : bigEndian32(bytes);
}

// The Exif orientation (1 to 8) in a TIFF block, 1 when there is none.
int orientationIn(const QByteArray& tiff) {
    if (tiff.size() < 8)
        return 1;
    const auto* data = reinterpret_cast<const uchar*>(tiff.constData());
    const bool little = tiff.startsWith("II");
    if (!little && !tiff.startsWith("MM"))
        return 1;
    const quint32 directory = tiffLong(data + 4, little);
    if (directory > quint32(tiff.size() - 2))
        return 1;
    const int entries = tiffShort(data + directory, little);
    for (int entry = 0; entry < entries; ++entry) {
        const qint64 at = qint64(directory) + 2 + qint64(entry) * 12;
        if (at + 12 > tiff.size())
            break;
        if (tiffShort(data + at, little) == 0x0112 && tiffShort(data + at + 2, little) == 3) {
            const int value = tiffShort(data + at + 8, little);
            return value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

// The orientation its Exif block gives the picture. The block begins with the offset of its TIFF
// header, which some writers leave after an "Exif" marker.
int exifOrientation(const heif_image_handle* handle) {
    heif_item_id block = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &block, 1) != 1)
        return 1;
    const size_t size = heif_image_handle_get_metadata_size(handle, block);
    if (size < 4 || size > 1024 * 1024)
        return 1;
    QByteArray exif(static_cast<qsizetype>(size), Qt::Uninitialized);
    if (heif_image_handle_get_metadata(handle, block, exif.data()).code != heif_error_Ok)
        return 1;
    const quint32 offset = bigEndian32(reinterpret_cast<const uchar*>(exif.constData()));
    if (offset > size - 4)
        return 1;
    QByteArray tiff = exif.mid(4 + offset);
    if (tiff.startsWith(QByteArray("Exif\0\0", 6)))
        tiff.remove(0, 6);
    return orientationIn(tiff);
}

QImage oriented(const QImage& image, int orientation) {
    const QTransform quarter = QTransform().rotate(90);
    switch (orientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5:
        return image.transformed(quarter).mirrored(true, false);
    case 6:
        return image.transformed(quarter);
    case 7:
        return image.transformed(quarter).mirrored(false, true);
    case 8:
        return image.transformed(QTransform().rotate(270));
    default:
        return image;
    }
}

} // namespace

namespace QuarryHEIFReader {

bool canRead(QIODevice* device) {
    const QByteArray head = device->peek(64);
    return heif_check_filetype(reinterpret_cast<const uint8_t*>(head.constData()),
                               static_cast<int>(head.size())) == heif_filetype_yes_supported;
}

std::optional<QImage> read(QIODevice* device, int maxSide, const std::atomic_bool* cancelled) {
    const Declared declared = declaredIn(device);
    if (!device->seek(0))
        return std::nullopt;
    const std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    // Tiles decode on this thread: the pool that calls already bounds the threads at work.
    heif_context_set_max_decoding_threads(context.get(), 0);
    DeviceSource source{device, device->size()};
    heif_reader reader{};
    reader.reader_api_version = 1;
    reader.get_position = sourcePosition;
    reader.read = sourceRead;
    reader.seek = sourceSeek;
    reader.wait_for_file_size = sourceWait;
    if (heif_context_read_from_reader(context.get(), &reader, &source, nullptr).code != heif_error_Ok)
        return std::nullopt;
    heif_image_handle* primary = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
        return std::nullopt;
    const std::unique_ptr<heif_image_handle, HandleRelease> handle(primary);

    const int orientation = declared.ownTransform ? 1 : exifOrientation(handle.get());
    QuarryDecodeGate::Permit permit = QuarryDecodeGate::process().admit(
        costOf(handle.get(), declared, source.size, maxSide, orientation), cancelled);
    if (!permit)
        return std::nullopt;
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;

    auto decoding = std::make_unique<Decoded>(std::move(permit));
    const std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    options->convert_hdr_to_8bit = 1;
    // Four bytes a pixel even without transparency: Qt scales that layout in place, where three would
    // first be copied into it.
    if (heif_decode_image(handle.get(), &decoding->image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                          options.get())
            .code != heif_error_Ok) {
        return std::nullopt;
    }
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(decoding->image, heif_channel_interleaved, &stride);
    const int decodedWidth = heif_image_get_width(decoding->image, heif_channel_interleaved);
    const int decodedHeight = heif_image_get_height(decoding->image, heif_channel_interleaved);
    if (!plane || decodedWidth <= 0 || decodedHeight <= 0)
        return std::nullopt;
    if (alpha) {
        // Premultiplied where they lie, for the same reason.
        for (int y = 0; y < decodedHeight; ++y) {
            uint8_t* pixel = plane + qint64(y) * stride;
            for (int x = 0; x < decodedWidth; ++x, pixel += 4) {
                for (int c = 0; c < 3; ++c)
                    pixel[c] = uint8_t((pixel[c] * pixel[3] + 127) / 255);
            }
        }
    }
    // libheif's pixels themselves, not a copy of them: the picture releases them (and their room at the
    // gate) when it goes, unless scaling made a smaller one first.
    const QImage pixels(plane, decodedWidth, decodedHeight, stride,
                        alpha ? QImage::Format_RGBA8888_Premultiplied : QImage::Format_RGBX8888,
                        releaseDecoded, decoding.release());
    const bool shrink = maxSide > 0 && (decodedWidth > maxSide || decodedHeight > maxSide);
    const QImage kept =
        shrink ? pixels.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation) : pixels;
    if (kept.isNull())
        return std::nullopt;
    return oriented(kept, orientation);
}

} // namespace QuarryHEIFReader
