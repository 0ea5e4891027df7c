#include "server/archives/folder_archive.h"

#include "core/diagnostics.h"
#include "server/archives/zip_stream.h"
#include "server/files/beneath.h"
#include "server/files/utf8_text.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace {

// The central directory's share of one entry besides its name: the fixed header, the time and owner
// fields, and room for ZIP64 sizes and offset.
constexpr qint64 kDirectoryBytesPerEntry = 100;
// ZIP stores a name's length in 16 bits.
constexpr qsizetype kMaxNameBytes = 0xFFFF;

// A name as a log line may show it: control characters would let a file name forge lines of its own.
QString loggable(const QByteArray& name) {
    QString text = QString::fromUtf8(name);
    for (QChar& c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    }
    return text;
}

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

class FolderWalk {
public:
    FolderWalk(const QuarryFolderArchiveSpec& job, QuarryArchiveStream& stream, QuarryZIPWriter& zip,
               int root)
        : m_spec(job)
        , m_stream(stream)
        , m_zip(zip)
        , m_root(root) {}

    // Adds a folder and everything in it. false: the archive cannot go on.
    bool folder(QuarryDescriptor owned, const QByteArray& entryName, const QByteArray& sharePath,
                const struct stat& status, int depth) {
        if (!counted(entryName) || !m_zip.addFolder(entryName, status))
            return false;
        DIR* listing = ::fdopendir(owned.get());
        if (!listing) {
            leaveOut(entryName, systemError(errno));
            return true;
        }
        owned.release();
        m_ancestors.emplace_back(status.st_dev, status.st_ino);
        bool ok = true;
        while (ok) {
            errno = 0;
            const dirent* item = ::readdir(listing);
            if (!item) {
                if (errno != 0)
                    leaveOut(entryName, QStringLiteral("its listing broke off: ") + systemError(errno));
                break;
            }
            const QByteArray name(item->d_name);
            if (name == "." || name == "..")
                continue;
            // Left out as from listings and searches: a name that is not UTF-8 cannot be fetched, and
            // unpacked it would not be the name listed.
            if (!QuarryUTF8Text::isValid(name.constData(), static_cast<size_t>(name.size())))
                continue;
            ok = !m_stream.isCancelled() && entry(::dirfd(listing), name, entryName + '/' + name,
                                                  sharePath.isEmpty() ? name : sharePath + '/' + name, depth);
        }
        m_ancestors.pop_back();
        ::closedir(listing);
        return ok;
    }

private:
    bool entry(int parent, const QByteArray& name, const QByteArray& entryName, const QByteArray& sharePath,
               int depth) {
        if (entryName.size() + 1 > kMaxNameBytes) {
            leaveOut(entryName.left(200) + "...",
                     QStringLiteral("its name is longer than an archive can hold"));
            return true;
        }
        struct stat status {};
        if (::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            leaveOut(entryName, systemError(errno));
            return true;
        }
        bool link = S_ISLNK(status.st_mode);
        QuarryDescriptor opened;
        if (S_ISREG(status.st_mode))
            opened = QuarryBeneath::openEntry(parent, name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
        else if (S_ISDIR(status.st_mode))
            opened = QuarryBeneath::openEntry(parent, name.constData(), O_RDONLY | O_DIRECTORY);
        else if (!link)
            return true; // FIFOs, sockets and devices are left out, never opened
        if (!opened.isOpen() && (link || errno == ELOOP)) {
            // A link, or an entry swapped for one since it was looked at: followed only where it stays
            // inside the share, by a path resolved beneath the share's folder.
            link = true;
            opened = QuarryBeneath::openBeneath(m_root, m_spec.rootPath, sharePath,
                                                O_RDONLY | O_NONBLOCK | O_NOCTTY);
            if (!opened.isOpen() && (errno == EXDEV || errno == ENOENT))
                return true; // leads out of the share, or nowhere
        }
        if (link && opened.get() >= 0 && !isTextPath(opened.get()))
            return true; // as in listings: where it leads, no path that a visitor could ask for reaches
        if (opened.get() < 0 || ::fstat(opened.get(), &status) != 0) {
            leaveOut(entryName, systemError(errno));
            return true;
        }
        if (S_ISREG(status.st_mode)) {
            if (!counted(entryName))
                return false;
            QString problem;
            const bool ok = m_zip.addFile(entryName, opened.get(), status, problem);
            if (ok && !problem.isEmpty())
                logDiagnostic(QStringLiteral("In the archive of %1, %2 was filled up with zeros: %3")
                                  .arg(m_spec.displayName, loggable(entryName), problem));
            return ok;
        }
        if (!S_ISDIR(status.st_mode))
            return true;
        for (const auto& [device, inode] : m_ancestors) {
            if (device == status.st_dev && inode == status.st_ino)
                return true; // a folder that holds this one: following it again would never end
        }
        if (depth + 1 > QuarryFolderArchive::kMaxDepth) {
            leaveOut(entryName, QStringLiteral("folders nested too deep"));
            return true;
        }
        return folder(std::move(opened), entryName, sharePath, status, depth + 1);
    }

    // Counts an entry against what one archive may hold; false when it is more than that.
    bool counted(const QByteArray& entryName) {
        m_directoryBytes += kDirectoryBytesPerEntry + entryName.size() + 1;
        if (m_directoryBytes > QuarryFolderArchive::kMaxDirectoryBytes) {
            m_problem = QStringLiteral("it holds more entries than one archive may");
            return false;
        }
        return true;
    }

    void leaveOut(const QByteArray& entryName, const QString& why) {
        logDiagnostic(QStringLiteral("Left out of the archive of %1: %2 (%3)")
                          .arg(m_spec.displayName, loggable(entryName), why));
    }

public:
    // Why the walk stopped, when it was the walk's own limit.
    QString problem() const { return m_problem; }

private:
    const QuarryFolderArchiveSpec& m_spec;
    QuarryArchiveStream& m_stream;
    QuarryZIPWriter& m_zip;
    int m_root;
    qint64 m_directoryBytes = 0;
    QString m_problem;
    std::vector<std::pair<dev_t, ino_t>> m_ancestors;
};

// The share's folder, and the archive's folder beneath it.
struct OpenFolders {
    QuarryDescriptor root;
    QuarryDescriptor folder;
};

OpenFolders openFolders(const QuarryFolderArchiveSpec& job) {
    OpenFolders open;
    open.root = QuarryBeneath::openResolved(job.rootPath, O_RDONLY | O_DIRECTORY);
    if (open.root.isOpen())
        open.folder = QuarryBeneath::openBeneath(open.root.get(), job.rootPath, job.relativePath,
                                                 O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    return open;
}

} // namespace

namespace QuarryFolderArchive {

bool opens(const QuarryFolderArchiveSpec& job) {
    return openFolders(job).folder.isOpen();
}

void write(const QuarryFolderArchiveSpec& job, QuarryArchiveStream& stream) {
    OpenFolders open = openFolders(job);
    QuarryDescriptor& opened = open.folder;
    struct stat status {};
    if (opened.get() < 0 || ::fstat(opened.get(), &status) != 0) {
        logDiagnostic(QStringLiteral("Could not open %1 for its archive: %2")
                          .arg(loggable(job.rootPath + '/' + job.relativePath), systemError(errno)));
        stream.fail();
        return;
    }
    QuarryZIPWriter zip(stream);
    if (!zip.open()) {
        logDiagnostic(
            QStringLiteral("Could not begin the archive of %1: %2").arg(job.displayName, zip.errorText()));
        stream.fail();
        return;
    }
    stream.start();
    FolderWalk walk(job, stream, zip, open.root.get());
    const bool ok = walk.folder(std::move(opened), job.entryName, job.relativePath, status, 0) && zip.close();
    if (ok) {
        stream.finish();
        return;
    }
    if (!stream.isCancelled())
        logDiagnostic(QStringLiteral("The archive of %1 ended unfinished: %2")
                          .arg(job.displayName, walk.problem().isEmpty() ? zip.errorText() : walk.problem()));
    stream.fail();
}

} // namespace QuarryFolderArchive
