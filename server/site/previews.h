#pragma once

#include "core/share_records.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/site/request_context.h"
#include "server/site/server_snapshot.h"

#include <QString>

// The view form of a file URL (?view=1): the file answered inline for the types a browser shows
// without running anything, with a download's ranges, validators and HEAD, a HEIC or HEIF photo as a
// JPEG of the whole picture, and exactly as a download for every other type. And its thumbnail form
// (?thumb=1) and display rendition (?preview=1).
namespace QuarrySite {

enum class PreviewKind { none, image, audio, video, pdf, text };

// What a browser may show of a file, from its name alone: raster images (JPEG, PNG, GIF, WebP, AVIF,
// BMP), audio, video, PDF and text (text types and common source and configuration suffixes). HTML,
// SVG, XML, JavaScript and anything unknown are none: a browser would run them or guess.
PreviewKind previewKind(const QString& fileName);

// Whether the name's registered type is a raster image that a thumbnail may be made of.
bool mayHaveThumbnail(const QString& fileName);

// Whether the name is a HEIC or HEIF photo's, which browsers do not show.
bool isHEIFName(const QString& fileName);

// share is enabled and already authorised; relativePath is "" for the share's root.
HTTPResponse handleView(const HTTPRequest& request, const QuarryFolderShare& share,
                        const QString& relativePath, const QuarryShareServerSnapshot& snapshot,
                        const RequestContext& context);

// share is enabled and already authorised. Without a thumbnail service the thumbnail is made right
// here, without a cache.
HTTPResponse handleThumbnail(const QuarryFolderShare& share, const QString& relativePath,
                             const QuarryShareServerSnapshot& snapshot, QuarryThumbnails* thumbnails,
                             QuarryRendition rendition = QuarryRendition::thumbnail);

} // namespace QuarrySite
