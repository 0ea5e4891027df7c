#include "server/beneath.h"

#include <QByteArrayList>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr int kMaxLinks = 40;

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
    ~Trail() { clear(); }
    Trail(const Trail&) = delete;
    Trail& operator=(const Trail&) = delete;

    int current() const { return m_folders.empty() ? m_root : m_folders.back(); }
    void enter(int folder) { m_folders.push_back(folder); }
    // Back up one folder; false at the root, where ".." would leave.
    bool leave() {
        if (m_folders.empty())
            return false;
        ::close(m_folders.back());
        m_folders.pop_back();
        return true;
    }
    void clear() {
        while (leave()) {
        }
    }

private:
    int m_root;
    std::vector<int> m_folders;
};

int failWith(int error) {
    errno = error;
    return -1;
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

} // namespace

namespace QuarryBeneath {

int openBeneath(int rootDescriptor, const QByteArray& rootPath, const QByteArray& path, int flags) {
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const QByteArray relative = path.isEmpty() ? QByteArrayLiteral(".") : path;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const long descriptor =
            ::syscall(SYS_openat2, rootDescriptor, relative.constData(), &how, sizeof(how));
        if (descriptor >= 0)
            return static_cast<int>(descriptor);
        // EAGAIN: a rename raced with the lookup; the kernel asks for another try.
        if (errno != EAGAIN && errno != EINTR)
            break;
    }
    // EXDEV also stands for an absolute link, which the kernel refuses beneath a root even when it
    // names a place inside: the walk tells the two apart. ENOSYS and EPERM: no openat2 here.
    if (errno == EXDEV || errno == ENOSYS || errno == EPERM || errno == EAGAIN)
        return openByWalking(rootDescriptor, rootPath, path, flags);
    return -1;
}

int openByWalking(int rootDescriptor, const QByteArray& rootPath, const QByteArray& path, int flags) {
    Trail trail(rootDescriptor);
    QByteArrayList pending = componentsOf(path);
    int links = 0;
    while (!pending.isEmpty()) {
        const QByteArray name = pending.takeFirst();
        if (name == "..") {
            if (!trail.leave())
                return failWith(EXDEV);
            continue;
        }
        const bool last = pending.isEmpty();
        const int how = last ? flags | O_NOFOLLOW | O_CLOEXEC : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        const int descriptor = ::openat(trail.current(), name.constData(), how);
        if (descriptor >= 0) {
            if (last)
                return descriptor;
            trail.enter(descriptor);
            continue;
        }
        const int error = errno;
        if (error != ELOOP && error != ENOTDIR)
            return -1;
        // Perhaps a symbolic link: read it where it stands and go on with what it names.
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(trail.current(), name.constData(), target, sizeof(target));
        if (length < 0)
            return failWith(errno == EINVAL ? error : errno);
        if (++links > kMaxLinks)
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
    return ::openat(trail.current(), ".", flags | O_CLOEXEC);
}

} // namespace QuarryBeneath
