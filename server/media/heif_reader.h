#pragma once

#include <QIODevice>
#include <QImage>

#include <atomic>
#include <optional>

// HEIC and HEIF photos (what phones take), which neither Qt nor most browsers read, decoded with
// libheif. Threads: any; decodes wait at the process's decode gate (server/media/decode_gate.h).
namespace QuarryHEIFReader {

// Whether the device starts as a HEIF file libheif can decode. The device is open and seekable.
bool canRead(QIODevice* device);

// The primary picture, upright: the file's own rotation and mirroring applied, and the Exif
// orientation too when the file has none of its own (a file with both would be turned twice). When
// maxSide is above zero, scaled to fit within it. What the file declares (its size, its tiles, its
// colour samples) is weighed at the decode gate before anything is decoded. Nothing when the file cannot
// be decoded, the gate refuses it, *cancelled is set while it waits, or a bound of libheif's is passed.
std::optional<QImage> read(QIODevice* device, int maxSide, const std::atomic_bool* cancelled = nullptr);

} // namespace QuarryHEIFReader
