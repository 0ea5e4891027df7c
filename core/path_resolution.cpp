#include "core/path_resolution.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// Bound on links followed while resolving one path, as the kernel's ELOOP limit does.
constexpr int kMaxLinksFollowed = 40;

QString cleanAbsolute(const QString& path) {
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
}

std::optional<QString> readLink(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink(native.constData(), buffer.data(), buffer.size());
        if (length < 0)
            return std::nullopt;
        if (static_cast<size_t>(length) < buffer.size())
            return QFile::decodeName(QByteArray(buffer.data(), length));
        buffer.resize(buffer.size() * 2);
    }
}

// Resolves the pending components one by one onto an already resolved start ("" for the root).
QString resolvedFrom(QString resolved, QStringList pending) {
    int linksFollowed = 0;
    bool exists = true;
    while (!pending.isEmpty()) {
        const QString component = pending.takeFirst();
        if (component == QLatin1String("."))
            continue;
        if (component == QLatin1String("..")) {
            resolved.truncate(qMax<qsizetype>(0, resolved.lastIndexOf(QLatin1Char('/'))));
            continue;
        }
        const QString candidate = resolved + QLatin1Char('/') + component;
        struct stat info {};
        if (!exists || ::lstat(QFile::encodeName(candidate).constData(), &info) != 0) {
            // Past the first missing component nothing can be a link: keep the rest as it stands.
            exists = false;
            resolved = candidate;
            continue;
        }
        if (!S_ISLNK(info.st_mode) || linksFollowed >= kMaxLinksFollowed) {
            resolved = candidate;
            continue;
        }
        ++linksFollowed;
        const std::optional<QString> target = readLink(candidate);
        if (!target) {
            resolved = candidate;
            continue;
        }
        QStringList targetComponents = target->split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (target->startsWith(QLatin1Char('/')))
            resolved.clear();
        pending = targetComponents + pending;
    }
    return resolved.isEmpty() ? QStringLiteral("/") : resolved;
}

} // namespace

namespace QuarryShareUtilities {

QString resolvedPath(const QString& path) {
    return resolvedFrom(QString(), cleanAbsolute(path).split(QLatin1Char('/'), Qt::SkipEmptyParts));
}

QString resolvedPathBelow(const QString& resolvedBase, const QString& relative) {
    // The base holds no links and no "." or "..": cleaning the relative part alone, then walking it from
    // the base, reads the same components as resolving the joined path would, without reading the base's
    // own components again.
    return resolvedFrom(resolvedBase == QLatin1String("/") ? QString() : resolvedBase,
                        QDir::cleanPath(relative).split(QLatin1Char('/'), Qt::SkipEmptyParts));
}

std::optional<QString> relativePath(const QString& path, const QString& rootPath) {
    const QString p = resolvedPath(path);
    const QString r = resolvedPath(rootPath);
    if (p == r)
        return QString();
    const QString prefix = r.endsWith(QLatin1Char('/')) ? r : r + QLatin1Char('/');
    if (r != QLatin1String("/") && p.startsWith(prefix))
        return p.mid(prefix.size());
    return std::nullopt;
}

} // namespace QuarryShareUtilities
