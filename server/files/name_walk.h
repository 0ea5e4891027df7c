#pragma once

#include "server/files/folder_listing.h"
#include "server/files/name_match.h"

#include <QList>
#include <QString>

#include <chrono>
#include <functional>

// Bounds on one search, so that a huge share costs a visitor a wait, never the server its memory.
struct QuarrySearchLimits {
    // Past this many matches the answer says it was cut short.
    int maxItems = 500;
    // Past this much walking the answer is what was found so far.
    std::chrono::milliseconds walkTime = std::chrono::seconds(2);
    // Folders this many levels below the share's folder are found, but not entered.
    int maxDepth = 64;
    bool operator==(const QuarrySearchLimits&) const = default;
};

// Finds the entries of a share whose names match, folder level by folder level from the share's folder
// down, so the nearest matches come first when the walk is cut short. The rules are the listing's:
// hidden entries are neither reported nor entered; a symbolic link is reported and entered when it leads
// to a place inside the share, under that place's path, and every folder is entered at most once, so
// links that loop end. Every folder is opened beneath the share's folder with no link in its path, so
// nothing outside the share is read even while entries are swapped under the walk.
namespace QuarryNameWalk {

struct Outcome {
    QList<DirectoryListingItem> items; // in the order found
    bool truncated = false;            // by the item or time bound, or stopped
    qint64 searchedEntries = 0;        // entries looked at, hidden ones left out
};

// root: the share's folder, fully resolved. stopRequested is asked now and then; once it says yes, the
// walk ends with what it found.
Outcome walk(const QString& root, const QuarryNameMatcher& matcher, const QuarrySearchLimits& limits,
             const std::function<bool()>& stopRequested);

// Walks begun in this process so far (all servers): how much searching visitors have caused.
qint64 walksBegun();

} // namespace QuarryNameWalk
