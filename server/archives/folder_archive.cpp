#include "server/archives/folder_archive.h"

#include "core/diagnostics.h"
#include "server/archives/checksum_cache.h"
#include "server/archives/zip_stream.h"
#include "server/files/beneath.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace QuarryFolderArchive {

void write(const QuarryArchiveLayout& layout, QuarryArchiveStream& stream, HTTPResponse head,
           QuarryChecksumCache* checksums) {
    const QuarryDescriptor root = QuarryBeneath::openResolved(layout.rootPath(), O_RDONLY | O_DIRECTORY);
    QuarryZIPWriter zip(stream);
    if (!root.isOpen() || !zip.open()) {
        logDiagnostic(QStringLiteral("Could not begin the archive of %1: %2")
                          .arg(layout.displayName(), root.isOpen()
                                                         ? zip.errorText()
                                                         : QString::fromLocal8Bit(std::strerror(errno))));
        stream.fail();
        return;
    }
    stream.start(std::move(head));
    const std::vector<QuarryArchiveLayout::Entry>& entries = layout.entries();
    QString problem;
    bool ok = true;
    for (size_t i = 0; ok && i < entries.size() && !stream.isCancelled(); ++i) {
        const QuarryArchiveLayout::Entry& entry = entries[i];
        if (entry.isFolder()) {
            ok = zip.addFolder(layout.archiveName(i), entry.mode, entry.modifiedSeconds());
            continue;
        }
        const QuarryDescriptor file = QuarryBeneath::openBeneath(
            root.get(), layout.rootPath(), layout.sharePath(i), O_RDONLY | O_NONBLOCK | O_NOCTTY);
        struct stat status {};
        if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            logDiagnostic(QStringLiteral("Left out of the archive of %1: %2 (%3)")
                              .arg(layout.displayName(),
                                   QuarryArchiveLayout::printable(layout.archiveName(i)),
                                   QStringLiteral("it went away while the archive was written")));
            continue;
        }
        quint32 crc = 0;
        ok = zip.addFile(layout.archiveName(i), file.get(), static_cast<qint64>(status.st_size),
                         status.st_mode, status.st_mtim.tv_sec, crc, problem);
        if (ok && checksums && QuarryArchiveLayout::isUnchanged(entry, status)) {
            checksums->store(QuarryChecksumCache::keyFor(layout.rootPath() + '/' + layout.sharePath(i),
                                                         entry.size, entry.modified, entry.changed,
                                                         entry.inode),
                             crc);
        }
        if (!problem.isEmpty())
            problem = QuarryArchiveLayout::printable(layout.archiveName(i)) + QStringLiteral(": ") + problem;
    }
    if (ok && !stream.isCancelled() && zip.close()) {
        stream.finish();
        return;
    }
    if (!stream.isCancelled())
        logDiagnostic(QStringLiteral("The archive of %1 ended unfinished: %2")
                          .arg(layout.displayName(), problem.isEmpty() ? zip.errorText() : problem));
    stream.fail();
}

} // namespace QuarryFolderArchive
