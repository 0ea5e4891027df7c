#pragma once

#include "server/media/thumbnail_maker.h"

#include <QByteArray>

#include <atomic>
#include <optional>

// What a video holds and a frame of it, from ffprobe and ffmpeg run as guarded children on a file we
// opened; nothing of a video is ever decoded in the server's own process.
namespace QuarryVideoFacts {

// {"duration", "width", "height", "rotation", "video", "audio", "playable", "videoProfile"}: the length
// in seconds, the upright picture's size, the rotation its metadata asks for, the codec names (audio
// null when there is none), the MIME types with codecs that a browser able to play one of them plays
// the file as it is, and the picture's codecs parameter alone (empty when unknown). Nothing when the file
// holds no video stream ffprobe can read.
std::optional<QByteArray> probe(int fileDescriptor, const std::atomic_bool* cancelled = nullptr);

// A frame from about a tenth into the clip (the first for a clip of a few seconds), upright, within
// the rendition's size, as a JPEG. probeJSON is what probe answered for the same file.
std::optional<QuarryThumbnail> frame(int fileDescriptor, const QByteArray& probeJSON,
                                     QuarryRendition rendition, const std::atomic_bool* cancelled = nullptr);

} // namespace QuarryVideoFacts
