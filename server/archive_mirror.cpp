#include "server/archive_mirror.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <vector>

namespace {

struct Walk {
    QByteArray shareRoot;
    const std::atomic<bool>& cancelled;
    qint64 entries = 0;
    // The real folders from the archived folder down to the one being mirrored: a link back to any of
    // them would make the tree endless.
    std::vector<QByteArray> ancestry;
    QString error;
};

QByteArray joined(const QByteArray& folder, const char* name) {
    QByteArray path = folder;
    if (!path.endsWith('/'))
        path += '/';
    return path + name;
}

bool insideShare(const QByteArray& real, const QByteArray& root) {
    if (real == root)
        return true;
    return root != "/" && real.startsWith(root + '/');
}

std::optional<QByteArray> realPath(const QByteArray& path) {
    const auto release = [](char* text) { std::free(text); };
    std::unique_ptr<char, decltype(release)> resolved(::realpath(path.constData(), nullptr), release);
    if (!resolved)
        return std::nullopt;
    return QByteArray(resolved.get());
}

bool fail(Walk& walk, const char* what, const QByteArray& path) {
    walk.error = QStringLiteral("%1 %2: %3")
                     .arg(QString::fromLatin1(what), QString::fromLocal8Bit(path),
                          QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

void copyTimes(const QByteArray& target, const struct stat& source) {
    const timespec times[2] = {source.st_atim, source.st_mtim};
    ::utimensat(AT_FDCWD, target.constData(), times, 0);
}

bool mirrorFolder(Walk& walk, const QByteArray& source, const QByteArray& target,
                  const struct stat& sourceStatus);

// Mirrors one entry whose real location and status are known.
bool mirrorEntry(Walk& walk, const QByteArray& real, const struct stat& status, const QByteArray& target) {
    if (++walk.entries > QuarryArchiveMirror::kMaxEntries) {
        walk.error = QStringLiteral("too many entries");
        return false;
    }
    if (S_ISREG(status.st_mode)) {
        if (::symlink(real.constData(), target.constData()) != 0)
            return fail(walk, "symlink", target);
        return true;
    }
    if (S_ISDIR(status.st_mode)) {
        for (const QByteArray& ancestor : walk.ancestry) {
            if (ancestor == real)
                return true;
        }
        return mirrorFolder(walk, real, target, status);
    }
    return true;
}

bool mirrorFolder(Walk& walk, const QByteArray& source, const QByteArray& target,
                  const struct stat& sourceStatus) {
    if (::mkdir(target.constData(), 0700) != 0)
        return fail(walk, "mkdir", target);
    const auto closeFolder = [](DIR* open) { ::closedir(open); };
    std::unique_ptr<DIR, decltype(closeFolder)> folder(::opendir(source.constData()), closeFolder);
    if (!folder) {
        // An unreadable folder goes in empty, as `zip` itself would store it.
        return true;
    }
    walk.ancestry.push_back(source);
    while (const dirent* entry = ::readdir(folder.get())) {
        if (walk.cancelled.load()) {
            walk.error = QStringLiteral("cancelled");
            return false;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const QByteArray path = joined(source, entry->d_name);
        const QByteArray mirrored = joined(target, entry->d_name);
        struct stat status {};
        if (::lstat(path.constData(), &status) != 0)
            continue;
        QByteArray real = path;
        if (S_ISLNK(status.st_mode)) {
            const std::optional<QByteArray> resolved = realPath(path);
            if (!resolved || !insideShare(*resolved, walk.shareRoot) ||
                ::stat(resolved->constData(), &status) != 0)
                continue;
            real = *resolved;
        }
        if (!mirrorEntry(walk, real, status, mirrored))
            return false;
    }
    walk.ancestry.pop_back();
    copyTimes(target, sourceStatus);
    return true;
}

} // namespace

namespace QuarryArchiveMirror {

Outcome build(const QByteArray& source, const QByteArray& shareRoot, const QByteArray& target,
              const std::atomic<bool>& cancelled) {
    Walk walk{shareRoot, cancelled, 0, {}, {}};
    struct stat status {};
    if (::stat(source.constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        fail(walk, "stat", source);
        return {false, walk.error};
    }
    const bool ok = mirrorFolder(walk, source, target, status);
    return {ok, walk.error};
}

void removeTree(const QByteArray& path) {
    ::nftw(
        path.constData(),
        [](const char* entry, const struct stat*, int, FTW*) {
            ::remove(entry);
            return 0;
        },
        64, FTW_DEPTH | FTW_PHYS);
}

} // namespace QuarryArchiveMirror
