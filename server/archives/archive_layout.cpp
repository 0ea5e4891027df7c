#include "server/archives/archive_layout.h"

#include "core/diagnostics.h"
#include "server/archives/zip_entry_names.h"
#include "server/files/beneath.h"
#include "server/files/utf8_text.h"

#include <QSet>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

// The central directory's share of one entry besides its name: the fixed header, the time fields, and
// room for ZIP64 sizes and offset.
constexpr qint64 kDirectoryBytesPerEntry = 100;
// ZIP stores a name's length in 16 bits.
constexpr qsizetype kMaxNameBytes = 0xFFFF;
// How many entries are walked between two looks at whether the visitor is still there.
constexpr int kEntriesBetweenLooks = 256;

// Whether the path an open descriptor stands for is UTF-8 throughout.
bool isTextPath(int descriptor) {
    char path[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(descriptor);
    const ssize_t length = ::readlink(link.constData(), path, sizeof(path));
    return length < 0 || QuarryUTF8Text::isValid(path, static_cast<size_t>(length));
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

qint64 nanoseconds(const timespec& moment) {
    return static_cast<qint64>(moment.tv_sec) * 1000000000 + moment.tv_nsec;
}

} // namespace

QString QuarryArchiveLayout::printable(const QByteArray& name) {
    QString text = QString::fromUtf8(name);
    for (QChar& c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    }
    return text;
}

bool QuarryArchiveLayout::isUnchanged(const Entry& entry, const struct stat& status) {
    return static_cast<quint16>(status.st_mode & (S_IFMT | 07777)) == entry.mode &&
           static_cast<quint64>(status.st_ino) == entry.inode &&
           static_cast<quint64>(status.st_dev) == entry.device &&
           (entry.isFolder() || static_cast<qint64>(status.st_size) == entry.size) &&
           nanoseconds(status.st_mtim) == entry.modified && nanoseconds(status.st_ctim) == entry.changed;
}

bool QuarryArchiveLayout::Entry::isFolder() const {
    return S_ISDIR(mode);
}

qint64 QuarryArchiveLayout::Entry::modifiedSeconds() const {
    return modified >= 0 ? modified / 1000000000 : -((-modified + 999999999) / 1000000000);
}

// The walk that fills a layout. Everything is opened beneath the share's folder, as the archive will be.
class LayoutWalk {
public:
    using Outcome = QuarryArchiveLayout::Outcome;

    LayoutWalk(QuarryArchiveLayout& layout, const QuarryFolderArchiveSpec& source,
               const std::function<bool()>& cancelled, int root)
        : m_layout(layout)
        , m_source(source)
        , m_cancelled(cancelled)
        , m_root(root) {}

    Outcome top(QuarryDescriptor folder, const struct stat& status) {
        const QByteArray name = QuarryZIPNames::sanitized(m_source.entryName);
        if (name.size() + 1 > kMaxNameBytes) {
            m_layout.m_problem = QStringLiteral("its name is longer than an archive can hold");
            return Outcome::tooLarge;
        }
        if (!counted(name.size() + 1))
            return m_outcome;
        append(status, 0, QByteArray(), name, static_cast<quint16>(name.size() + 1));
        if (!m_source.picks) {
            contents(std::move(folder), 0, m_source.relativePath, 0);
            return m_outcome;
        }
        m_ancestors.emplace_back(status.st_dev, status.st_ino);
        const std::vector<QByteArray> archiveNames = QuarryZIPNames::forFolder(*m_source.picks);
        for (size_t i = 0; i < archiveNames.size() && m_outcome == Outcome::made; ++i) {
            const QByteArray& pick = (*m_source.picks)[i];
            // A name that could reach anything but an entry of this very folder names none of them.
            if (pick.isEmpty() || pick == "." || pick == ".." || pick.contains('/') || pick.contains('\0')) {
                m_outcome = Outcome::noPick;
                break;
            }
            const Step step =
                entry(folder.get(), 0, pick, archiveNames[i], sharePathOf(m_source.relativePath, pick), 0);
            if (step == Step::absent) {
                m_layout.m_problem =
                    QStringLiteral("%1 is no entry of the folder").arg(QuarryArchiveLayout::printable(pick));
                m_outcome = Outcome::noPick;
            }
        }
        return m_outcome;
    }

private:
    enum class Step { added, skipped, absent };

    static QByteArray sharePathOf(const QByteArray& folder, const QByteArray& name) {
        return folder.isEmpty() ? name : folder + '/' + name;
    }

    // Adds what an open folder holds, in the file system's order. false: the walk cannot go on.
    bool contents(QuarryDescriptor owned, quint32 index, const QByteArray& sharePath, int depth) {
        DIR* listing = ::fdopendir(owned.get());
        if (!listing) {
            leaveOut(m_layout.archiveName(index), systemError(errno));
            return true;
        }
        owned.release();
        std::vector<QByteArray> names;
        for (;;) {
            errno = 0;
            const dirent* item = ::readdir(listing);
            if (!item) {
                if (errno != 0)
                    leaveOut(m_layout.archiveName(index),
                             QStringLiteral("its listing broke off: ") + systemError(errno));
                break;
            }
            const size_t length = std::strlen(item->d_name);
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0)
                continue;
            // Left out as from listings and searches: a name that is not UTF-8 cannot be fetched, and
            // unpacked it would not be the name listed.
            if (QuarryUTF8Text::isValid(item->d_name, length))
                names.emplace_back(item->d_name, static_cast<qsizetype>(length));
        }
        const std::vector<QByteArray> archiveNames = QuarryZIPNames::forFolder(names);
        const QuarryArchiveLayout::Entry& self = m_layout.m_entries[index];
        m_ancestors.emplace_back(self.device, self.inode);
        for (size_t i = 0; i < names.size() && m_outcome == Outcome::made; ++i)
            entry(::dirfd(listing), index, names[i], archiveNames[i], sharePathOf(sharePath, names[i]),
                  depth);
        m_ancestors.pop_back();
        ::closedir(listing);
        return m_outcome == Outcome::made;
    }

    Step entry(int parent, quint32 parentIndex, const QByteArray& name, const QByteArray& archiveName,
               const QByteArray& sharePath, int depth) {
        if (++m_sinceLook >= kEntriesBetweenLooks) {
            m_sinceLook = 0;
            if (m_cancelled && m_cancelled()) {
                m_outcome = Outcome::cancelled;
                return Step::skipped;
            }
        }
        const qint64 pathLength = m_layout.m_entries[parentIndex].pathLength + archiveName.size();
        if (pathLength + 1 > kMaxNameBytes) {
            leaveOut(m_layout.archiveName(parentIndex) + archiveName.left(200) + "...",
                     QStringLiteral("its name is longer than an archive can hold"));
            return Step::skipped;
        }
        struct stat status {};
        if (::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT || errno == ENAMETOOLONG)
                return Step::absent;
            leaveOut(m_layout.archiveName(parentIndex) + archiveName, systemError(errno));
            return Step::skipped;
        }
        bool link = S_ISLNK(status.st_mode);
        QuarryDescriptor opened;
        if (S_ISREG(status.st_mode))
            opened = QuarryBeneath::openEntry(parent, name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
        else if (S_ISDIR(status.st_mode))
            opened = QuarryBeneath::openEntry(parent, name.constData(), O_RDONLY | O_DIRECTORY);
        else if (!link)
            return Step::skipped; // FIFOs, sockets and devices are left out, never opened
        if (!opened.isOpen() && (link || errno == ELOOP)) {
            // A link, or an entry swapped for one since it was looked at: followed only where it stays
            // inside the share, by a path resolved beneath the share's folder.
            link = true;
            opened = QuarryBeneath::openBeneath(m_root, m_source.rootPath, sharePath,
                                                O_RDONLY | O_NONBLOCK | O_NOCTTY);
            if (!opened.isOpen() && (errno == EXDEV || errno == ENOENT))
                return Step::absent; // leads out of the share, or nowhere
        }
        if (link && opened.get() >= 0 && !isTextPath(opened.get()))
            return Step::absent; // as in listings: where it leads, no path that a visitor could ask for
                                 // reaches
        if (opened.get() < 0 || ::fstat(opened.get(), &status) != 0) {
            leaveOut(m_layout.archiveName(parentIndex) + archiveName, systemError(errno));
            return Step::skipped;
        }
        if (S_ISREG(status.st_mode)) {
            if (!counted(pathLength))
                return Step::skipped;
            append(status, parentIndex, name, archiveName, static_cast<quint16>(pathLength));
            return Step::added;
        }
        if (!S_ISDIR(status.st_mode))
            return Step::skipped;
        for (const auto& [device, inode] : m_ancestors) {
            if (device == status.st_dev && inode == status.st_ino)
                return Step::skipped; // a folder that holds this one: following it again would never end
        }
        if (depth + 1 > QuarryArchiveLayout::kMaxDepth) {
            leaveOut(m_layout.archiveName(parentIndex) + archiveName,
                     QStringLiteral("folders nested too deep"));
            return Step::skipped;
        }
        if (!counted(pathLength + 1))
            return Step::skipped;
        const quint32 index =
            append(status, parentIndex, name, archiveName, static_cast<quint16>(pathLength + 1));
        contents(std::move(opened), index, sharePath, depth + 1);
        return Step::added;
    }

    quint32 append(const struct stat& status, quint32 parent, const QByteArray& name,
                   const QByteArray& archiveName, quint16 pathLength) {
        QuarryArchiveLayout::Entry entry;
        entry.size = S_ISREG(status.st_mode) ? static_cast<qint64>(status.st_size) : 0;
        entry.modified = nanoseconds(status.st_mtim);
        entry.changed = nanoseconds(status.st_ctim);
        entry.inode = static_cast<quint64>(status.st_ino);
        entry.device = static_cast<quint64>(status.st_dev);
        entry.parent = parent;
        entry.mode = static_cast<quint16>(status.st_mode & (S_IFMT | 07777));
        entry.name = static_cast<quint32>(m_layout.m_names.size());
        entry.nameLength = static_cast<quint16>(name.size());
        m_layout.m_names.append(name);
        entry.archiveName = entry.name;
        entry.archiveNameLength = static_cast<quint16>(archiveName.size());
        if (archiveName != name) {
            entry.archiveName = static_cast<quint32>(m_layout.m_names.size());
            m_layout.m_names.append(archiveName);
        }
        entry.pathLength = pathLength;
        m_layout.m_latest = qMax(m_layout.m_latest, entry.modifiedSeconds());
        m_layout.m_entries.push_back(entry);
        return static_cast<quint32>(m_layout.m_entries.size() - 1);
    }

    // Counts an entry against what one archive may hold; false when it is more than that.
    bool counted(qint64 pathLength) {
        m_directoryBytes += kDirectoryBytesPerEntry + pathLength;
        if (m_directoryBytes <= QuarryArchiveLayout::kMaxDirectoryBytes)
            return true;
        m_layout.m_problem = QStringLiteral("it holds more entries than one archive may");
        m_outcome = Outcome::tooLarge;
        return false;
    }

    void leaveOut(const QByteArray& entryName, const QString& why) {
        logDiagnostic(QStringLiteral("Left out of the archive of %1: %2 (%3)")
                          .arg(m_source.displayName, QuarryArchiveLayout::printable(entryName), why));
    }

    QuarryArchiveLayout& m_layout;
    const QuarryFolderArchiveSpec& m_source;
    const std::function<bool()>& m_cancelled;
    int m_root;
    Outcome m_outcome = Outcome::made;
    qint64 m_directoryBytes = 0;
    int m_sinceLook = 0;
    std::vector<std::pair<quint64, quint64>> m_ancestors;
};

QuarryArchiveLayout::Outcome QuarryArchiveLayout::make(const QuarryFolderArchiveSpec& source,
                                                       const std::function<bool()>& cancelled) {
    m_rootPath = source.rootPath;
    m_base = source.relativePath;
    m_displayName = source.displayName;
    m_entries.clear();
    m_names.clear();
    m_latest = 0;
    m_problem.clear();
    const QuarryDescriptor root = QuarryBeneath::openResolved(source.rootPath, O_RDONLY | O_DIRECTORY);
    QuarryDescriptor folder;
    if (root.isOpen())
        folder = QuarryBeneath::openBeneath(root.get(), source.rootPath, source.relativePath,
                                            O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    struct stat status {};
    if (!folder.isOpen() || ::fstat(folder.get(), &status) != 0) {
        m_problem = systemError(errno);
        return Outcome::noFolder;
    }
    LayoutWalk walk(*this, source, cancelled, root.get());
    const Outcome outcome = walk.top(std::move(folder), status);
    if (outcome != Outcome::made) {
        m_entries = {};
        m_names = {};
    } else {
        m_entries.shrink_to_fit();
        m_names.squeeze();
    }
    return outcome;
}

QByteArray QuarryArchiveLayout::sharePath(size_t index) const {
    QByteArray path;
    for (size_t at = index; at != 0; at = m_entries[at].parent) {
        const Entry& entry = m_entries[at];
        const QByteArrayView name(m_names.constData() + entry.name, entry.nameLength);
        path = path.isEmpty() ? name.toByteArray() : name.toByteArray() + '/' + path;
    }
    if (m_base.isEmpty())
        return path;
    return path.isEmpty() ? m_base : m_base + '/' + path;
}

QByteArray QuarryArchiveLayout::archiveName(size_t index) const {
    QByteArray path;
    path.reserve(m_entries[index].pathLength);
    for (size_t at = index;; at = m_entries[at].parent) {
        const Entry& entry = m_entries[at];
        path.prepend(
            QByteArrayView(m_names.constData() + entry.archiveName, entry.archiveNameLength).toByteArray() +
            '/');
        if (at == 0)
            break;
    }
    if (!m_entries[index].isFolder())
        path.chop(1);
    return path;
}
