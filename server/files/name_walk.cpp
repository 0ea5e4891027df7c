#include "server/files/name_walk.h"

#include "core/path_resolution.h"
#include "server/files/beneath.h"
#include "server/files/utf8_text.h"

#include <QDateTime>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Entries read between two looks at the clock and at the stop flag, for folders with very many entries.
constexpr qint64 kEntriesBetweenChecks = 256;
// Folders found but not entered yet; a share wider than this is searched in part.
constexpr size_t kMaxPendingFolders = size_t(1) << 18;

struct Pending {
    QByteArray relative; // fully resolved, "" for the share's folder
    int depth = 0;       // its components
};

DirectoryListingItem listed(const QByteArray& name, const QByteArray& relative, const struct stat* status) {
    DirectoryListingItem item;
    item.name = QFile::decodeName(name);
    item.relativePath = QFile::decodeName(relative);
    if (status) {
        item.isDirectory = S_ISDIR(status->st_mode);
        if (!item.isDirectory)
            item.size = static_cast<qint64>(status->st_size);
        item.modifiedAt = QDateTime::fromSecsSinceEpoch(status->st_mtim.tv_sec, Qt::UTC);
    }
    return item;
}

class Walker {
public:
    Walker(const QString& root, const QuarryDescriptor& rootFd, const QuarryNameMatcher& matcher,
           const QuarrySearchLimits& limits, const std::function<bool()>& stopRequested)
        : m_root(root)
        , m_rootPath(QFile::encodeName(root))
        , m_rootFd(rootFd.get())
        , m_matcher(matcher)
        , m_limits(limits)
        , m_stopRequested(stopRequested)
        , m_deadline(Clock::now() + limits.walkTime) {}

    QuarryNameWalk::Outcome run() {
        m_pending.push_back({QByteArray(), 0});
        while (!m_pending.empty()) {
            if (mustStop())
                break;
            const Pending folder = std::move(m_pending.front());
            m_pending.pop_front();
            if (!readFolder(folder))
                break;
        }
        return std::move(m_outcome);
    }

private:
    bool mustStop() {
        if (m_stopRequested() || Clock::now() >= m_deadline) {
            m_outcome.truncated = true;
            return true;
        }
        return false;
    }

    // False when the walk ends here.
    bool readFolder(const Pending& folder) {
        QuarryDescriptor opened = openBeneath(folder.relative, O_RDONLY | O_DIRECTORY);
        struct stat status {};
        if (opened.get() < 0 || ::fstat(opened.get(), &status) != 0 || !S_ISDIR(status.st_mode))
            return true;
        // A folder reached again (through a link, or a link back up) is not read twice.
        if (!m_entered.insert({status.st_dev, status.st_ino}).second)
            return true;
        const auto closeFolder = [](DIR* open) { ::closedir(open); };
        std::unique_ptr<DIR, decltype(closeFolder)> listing(::fdopendir(opened.get()), closeFolder);
        if (!listing)
            return true;
        opened.release();
        const int folderFd = ::dirfd(listing.get());
        const QByteArray prefix = folder.relative.isEmpty() ? QByteArray() : folder.relative + '/';
        while (const dirent* entry = ::readdir(listing.get())) {
            // Hidden entries, and with them "." and "..", are neither reported nor entered.
            if (entry->d_name[0] == '.')
                continue;
            // Names that are not UTF-8 are neither reported nor entered: nothing could fetch them.
            if (!QuarryUTF8Text::isValid(entry->d_name, std::strlen(entry->d_name)))
                continue;
            if (++m_outcome.searchedEntries % kEntriesBetweenChecks == 0 && mustStop())
                return false;
            if (!consider(folderFd, folder, prefix, entry))
                return false;
        }
        return true;
    }

    bool consider(int folderFd, const Pending& folder, const QByteArray& prefix, const dirent* entry) {
        const size_t length = std::strlen(entry->d_name);
        const bool match = m_matcher.matches(entry->d_name, length);
        unsigned char type = entry->d_type;
        struct stat status {};
        bool known = false;
        // Most entries need no status of their own: only matches do, and entries whose type the folder
        // listing does not tell.
        if (type == DT_UNKNOWN || (match && type != DT_LNK)) {
            known = ::fstatat(folderFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0;
            if (known)
                type = IFTODT(status.st_mode);
        }
        // Most entries are neither links, folders nor matches, and need no path of their own.
        if (type != DT_LNK && type != DT_DIR && !match)
            return true;
        const QByteArray name(entry->d_name, static_cast<qsizetype>(length));
        if (type == DT_LNK)
            return followLink(prefix + name, name, match);
        const QByteArray relative = prefix + name;
        if (type == DT_DIR)
            enter(relative, folder.depth + 1);
        return !match || report(listed(name, relative, known ? &status : nullptr));
    }

    // A link counts where it leads, as in the listing: inside the share it is reported under the path of
    // its target and, leading to a folder, entered; leading out, it is left out.
    bool followLink(const QByteArray& relative, const QByteArray& name, bool match) {
        const std::optional<QString> target = QuarryShareUtilities::relativePath(
            m_root + QLatin1Char('/') + QFile::decodeName(relative), m_root);
        if (!target)
            return true;
        const QByteArray targetBytes = QFile::encodeName(*target);
        struct stat status {};
        bool known = false;
        const QuarryDescriptor opened = openBeneath(targetBytes, O_PATH);
        if (opened.get() >= 0)
            known = ::fstat(opened.get(), &status) == 0 && !S_ISLNK(status.st_mode);
        // A target whose path is not UTF-8 was decoded into a path that does not exist: leave it out.
        if (!known && target->contains(QChar::ReplacementCharacter))
            return true;
        if (known && S_ISDIR(status.st_mode))
            enter(targetBytes, targetBytes.isEmpty() ? 0 : static_cast<int>(targetBytes.count('/')) + 1);
        return !match || report(listed(name, targetBytes, known ? &status : nullptr));
    }

    void enter(const QByteArray& relative, int depth) {
        if (depth >= m_limits.maxDepth)
            return;
        if (m_pending.size() >= kMaxPendingFolders) {
            m_outcome.truncated = true;
            return;
        }
        m_pending.push_back({relative, depth});
    }

    // False once the item bound is passed: the match past it is not reported, and the walk ends.
    bool report(DirectoryListingItem item) {
        if (m_outcome.items.size() >= m_limits.maxItems) {
            m_outcome.truncated = true;
            return false;
        }
        m_outcome.items.append(std::move(item));
        return true;
    }

    // A resolved path below the root, with no symbolic link anywhere in it: what is opened lies inside the
    // root at this moment, whatever has been swapped into the path since it was found.
    QuarryDescriptor openBeneath(const QByteArray& relative, int flags) const {
        return QuarryBeneath::openBeneath(m_rootFd, m_rootPath, relative, flags,
                                          QuarryBeneath::Links::refuse);
    }

    const QString m_root;
    const QByteArray m_rootPath;
    const int m_rootFd;
    const QuarryNameMatcher& m_matcher;
    const QuarrySearchLimits m_limits;
    const std::function<bool()>& m_stopRequested;
    const Clock::time_point m_deadline;
    std::deque<Pending> m_pending;
    std::set<std::pair<dev_t, ino_t>> m_entered;
    QuarryNameWalk::Outcome m_outcome;
};

} // namespace

namespace QuarryNameWalk {

namespace {
std::atomic<qint64> walks{0};
} // namespace

Outcome walk(const QString& root, const QuarryNameMatcher& matcher, const QuarrySearchLimits& limits,
             const std::function<bool()>& stopRequested) {
    // The file system's root as a share reaches only itself, as in the listing.
    if (matcher.isEmpty() || !matcher.canMatch() || matcher.hasTooManyWords() || root == QLatin1String("/"))
        return {};
    const QuarryDescriptor rootFd =
        QuarryBeneath::openResolved(QFile::encodeName(root), O_RDONLY | O_DIRECTORY);
    if (!rootFd.isOpen())
        return {};
    ++walks;
    return Walker(root, rootFd, matcher, limits, stopRequested).run();
}

qint64 walksBegun() {
    return walks.load();
}

} // namespace QuarryNameWalk
