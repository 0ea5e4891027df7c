#pragma once

#include <QString>

// The one byte range of a Range header (RFC 9110), against a body of a known size.
namespace QuarryHTTP {

struct ByteRangeAnswer {
    enum class Kind {
        // No usable Range: the header is absent, does not parse, names another unit or several ranges.
        whole,
        // Bytes first to last, both included, all within the body.
        partial,
        // A well-formed range that lies beyond the body: 416.
        unsatisfiable,
    };
    Kind kind = Kind::whole;
    qint64 first = 0;
    qint64 last = 0;

    qint64 length() const { return last - first + 1; }
    bool operator==(const ByteRangeAnswer&) const = default;
};

// "bytes=a-b", "bytes=a-" and "bytes=-n" (the last n bytes); the unit's case is ignored.
ByteRangeAnswer evaluateRange(const QString& header, qint64 size);

} // namespace QuarryHTTP
