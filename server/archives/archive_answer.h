#pragma once

#include "server/archives/archive_layout.h"
#include "server/archives/archive_stream.h"
#include "server/http/http_request.h"

#include <QString>

class QuarryChecksumCache;

// One folder download: what it holds, how it is asked for, and what it is called.
struct QuarryArchiveJob {
    QuarryFolderArchiveSpec source;
    // compress=1: deflated and chunked, without a length or ranges.
    bool compressed = false;
    // The request without its body: its method and the headers the answer depends on (Range, If-Range,
    // If-None-Match, If-Modified-Since).
    HTTPRequest request;
    // The archive's file name, for its Content-Disposition.
    QString fileName;
    // The folder's name, for the error page.
    QString failureName;
    // Where CRCs are kept between archives; none: nowhere.
    QuarryChecksumCache* checksums = nullptr;
};

// The answer to a folder download, made on a writer thread: the folder's layout is walked first; then a
// picked name that is no entry answers 404, a HEAD its headers, a current copy 304 and a range beyond
// the end 416, without anything being read; otherwise the archive with a length (200, or 206 for one
// range) or the deflated one (chunked) follows its head. A folder that cannot be opened or holds more
// than an archive may fails the stream before its head, for the error page.
namespace QuarryArchiveAnswer {

void run(const QuarryArchiveJob& job, QuarryArchiveStream& stream);

} // namespace QuarryArchiveAnswer
