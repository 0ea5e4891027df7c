#include "server/files/containment.h"

#include "core/path_resolution.h"

#include <QHash>

#include <chrono>

namespace QuarryContainment {

QString resolvedShareRoot(const QuarryFolderShare& share) {
    // Every request of a share starts there, and resolving it reads each component of its path: the
    // answer is kept a moment per thread. A link above the share that changes meanwhile is seen a second
    // later; nothing escapes in between, since files are opened refusing links.
    struct Kept {
        QString resolved;
        std::chrono::steady_clock::time_point at;
    };
    constexpr auto kFreshFor = std::chrono::seconds(1);
    constexpr qsizetype kKept = 64;
    thread_local QHash<QString, Kept> kept;
    const QString path = share.pathURL();
    const auto now = std::chrono::steady_clock::now();
    if (const auto found = kept.constFind(path); found != kept.cend() && now - found->at < kFreshFor)
        return found->resolved;
    if (kept.size() >= kKept)
        kept.clear();
    return kept.insert(path, Kept{QuarryShareUtilities::resolvedPath(path), now})->resolved;
}

std::optional<QString> relativeToResolved(const QString& resolved, const QString& root) {
    if (resolved == root)
        return QString();
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (root != QLatin1String("/") && resolved.startsWith(prefix))
        return resolved.mid(prefix.size());
    return std::nullopt;
}

std::optional<QString> resolvedBeneath(const QString& root, const QString& relativePath) {
    if (relativePath.contains(QChar(0)))
        return std::nullopt;
    const QString candidate = QuarryShareUtilities::resolvedPathBelow(root, relativePath);
    if (candidate == root || relativeToResolved(candidate, root))
        return candidate;
    return std::nullopt;
}

std::optional<QString> resolvedURL(const QuarryFolderShare& share, const QString& relativePath) {
    return resolvedBeneath(resolvedShareRoot(share), relativePath);
}

} // namespace QuarryContainment
