#include "server/files/beneath.h"

#include <QByteArrayList>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr int kMaxLinks = 40;

std::atomic_bool openat2Allowed{true};

// The components of a path, without empty ones and ".", in order.
QByteArrayList componentsOf(const QByteArray& path) {
    QByteArrayList components;
    for (const QByteArray& piece : path.split('/')) {
        if (!piece.isEmpty() && piece != ".")
            components.append(piece);
    }
    return components;
}

// The folders opened on the way down from the root (which is not among them, and not owned).
class Trail {
public:
    explicit Trail(int root)
        : m_root(root) {}

    int current() const { return m_folders.empty() ? m_root : m_folders.back().get(); }
    void enter(QuarryDescriptor folder) { m_folders.push_back(std::move(folder)); }
    // Back up one folder; false at the root, where ".." would leave.
    bool leave() {
        if (m_folders.empty())
            return false;
        m_folders.pop_back();
        return true;
    }
    void clear() { m_folders.clear(); }

private:
    int m_root;
    std::vector<QuarryDescriptor> m_folders;
};

QuarryDescriptor failWith(int error) {
    errno = error;
    return QuarryDescriptor();
}

// Where an absolute link leads relative to the root, or nothing when it leads out.
bool insideRoot(const QByteArray& target, const QByteArray& rootPath, QByteArray& rest) {
    if (rootPath == "/") {
        rest = target;
        return true;
    }
    if (target == rootPath || target.startsWith(rootPath + '/')) {
        rest = target.mid(rootPath.size());
        return true;
    }
    return false;
}

// openat2, tried again while renames race with the lookup; ENOSYS while tests have it switched off.
QuarryDescriptor openat2(int directory, const QByteArray& path, int flags, __u64 resolve) {
    if (!openat2Allowed.load(std::memory_order_relaxed))
        return failWith(ENOSYS);
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_CLOEXEC);
    how.resolve = resolve | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const long descriptor = ::syscall(SYS_openat2, directory, path.constData(), &how, sizeof(how));
        if (descriptor >= 0)
            return QuarryDescriptor(static_cast<int>(descriptor));
        // EAGAIN: a rename raced with the lookup; the kernel asks for another try.
        if (errno != EAGAIN && errno != EINTR)
            break;
    }
    return QuarryDescriptor();
}

// ENOSYS and EPERM: no openat2 here (an old kernel, a sandbox). EAGAIN: renames kept racing with it.
bool mustWalk(int error) {
    return error == ENOSYS || error == EPERM || error == EAGAIN;
}

bool isLink(int descriptor) {
    struct stat status {};
    return ::fstat(descriptor, &status) == 0 && S_ISLNK(status.st_mode);
}

// Resolves the path itself, from the root one component at a time, each opened beneath the last with
// O_NOFOLLOW; a link is read where it stands and, when links are followed, walked on from there.
QuarryDescriptor walk(int rootDescriptor, const QByteArray& rootPath, const QByteArray& path, int flags,
                      QuarryBeneath::Links links) {
    Trail trail(rootDescriptor);
    QByteArrayList pending = componentsOf(path);
    int followed = 0;
    while (!pending.isEmpty()) {
        const QByteArray name = pending.takeFirst();
        if (name == "..") {
            if (!trail.leave())
                return failWith(EXDEV);
            continue;
        }
        const bool last = pending.isEmpty();
        const int how = last ? flags | O_NOFOLLOW | O_CLOEXEC : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        QuarryDescriptor opened(::openat(trail.current(), name.constData(), how));
        int error = errno;
        if (opened.isOpen()) {
            if (!last) {
                trail.enter(std::move(opened));
                continue;
            }
            // O_PATH with O_NOFOLLOW opens a link as itself: the caller asked for what it leads to.
            if (!(flags & O_PATH) || !isLink(opened.get()))
                return opened;
            opened = QuarryDescriptor();
            error = ELOOP;
        } else if (error != ELOOP && error != ENOTDIR) {
            return failWith(error);
        }
        // Perhaps a symbolic link: read it where it stands.
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(trail.current(), name.constData(), target, sizeof(target));
        if (length < 0)
            return failWith(errno == EINVAL ? error : errno);
        if (links == QuarryBeneath::Links::refuse || ++followed > kMaxLinks)
            return failWith(ELOOP);
        QByteArray link(target, static_cast<qsizetype>(length));
        if (link.startsWith('/')) {
            QByteArray rest;
            if (!insideRoot(link, rootPath, rest))
                return failWith(EXDEV);
            trail.clear();
            link = rest;
        }
        pending = componentsOf(link) + pending;
    }
    // Everything was walked (the root itself, or a path that ended in ".." or a link to a folder).
    return QuarryDescriptor(::openat(trail.current(), ".", flags | O_CLOEXEC));
}

} // namespace

namespace QuarryBeneath {

QuarryDescriptor openBeneath(int rootDescriptor, const QByteArray& rootPath, const QByteArray& path,
                             int flags, Links links) {
    const __u64 resolve = RESOLVE_BENEATH | (links == Links::refuse ? RESOLVE_NO_SYMLINKS : 0);
    QuarryDescriptor opened =
        openat2(rootDescriptor, path.isEmpty() ? QByteArrayLiteral(".") : path, flags, resolve);
    if (opened.isOpen())
        return opened;
    // EXDEV also stands for an absolute link, which the kernel refuses beneath a root even when it
    // names a place inside: the walk tells the two apart.
    if (mustWalk(errno) || (errno == EXDEV && links == Links::followInside))
        return walk(rootDescriptor, rootPath, path, flags, links);
    return opened;
}

QuarryDescriptor openResolved(const QByteArray& path, int flags) {
    QuarryDescriptor opened = openat2(AT_FDCWD, path, flags, RESOLVE_NO_SYMLINKS);
    if (opened.isOpen() || !mustWalk(errno))
        return opened;
    if (!path.startsWith('/'))
        return failWith(EINVAL);
    const QuarryDescriptor top(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!top.isOpen())
        return failWith(errno);
    return walk(top.get(), QByteArrayLiteral("/"), path.mid(1), flags, Links::refuse);
}

QuarryDescriptor openRegularFile(const QString& resolvedPath, struct stat& status) {
    // Non-blocking, so a FIFO cannot stall the server thread at open time.
    QuarryDescriptor file = openResolved(QFile::encodeName(resolvedPath), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return QuarryDescriptor();
    // A regular file is read as usual from here on. Only status flags change.
    ::fcntl(file.get(), F_SETFL, O_RDONLY);
    return file;
}

QuarryDescriptor openEntry(int folderDescriptor, const char* name, int flags) {
    return QuarryDescriptor(::openat(folderDescriptor, name, flags | O_NOFOLLOW | O_CLOEXEC));
}

void setOpenat2Allowed(bool allowed) {
    openat2Allowed.store(allowed, std::memory_order_relaxed);
}

} // namespace QuarryBeneath
