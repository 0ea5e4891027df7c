#pragma once

#include "server/http/http_request.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <optional>
#include <vector>

// What a download asks for beyond its path: download=1, compress=1 and the picked entries of a folder
// (pick=NAME, once per name), from the query, and for POST from an application/x-www-form-urlencoded body
// as well (a form that names more entries than a URL can hold).
namespace QuarrySite {

// The most entries one picked-entries archive may name.
inline constexpr qsizetype kMaxPicks = 10000;
// The most bytes of the picks form's body: 10,000 names of about 200 bytes each as a form encodes them
// (a 60-character name in any script, or 190 ASCII characters).
inline constexpr qint64 kPicksFormMaxBytes = 2 * 1024 * 1024;

struct DownloadRequest {
    enum class Problem { none, invalidPick, tooManyPicks };
    bool download = false;
    bool compress = false;
    // Names of entries of the folder, UTF-8, each once, in the order named; none: the whole folder.
    std::optional<std::vector<QByteArray>> picks;
    Problem problem = Problem::none;
};

DownloadRequest downloadRequestOf(const HTTPRequest& request, const QMap<QString, QString>& query);

// Whether a request head may bring a body as large as the picks form: a POST to a share's path.
bool mayCarryPicksForm(const HTTPRequest& head);

} // namespace QuarrySite
