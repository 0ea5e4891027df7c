#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <sys/stat.h>
#include <vector>

// Which folder an archive holds, and under what name.
struct QuarryFolderArchiveSpec {
    // The share's folder, fully resolved.
    QByteArray rootPath;
    // The folder inside the share ("" for the share's folder itself), fully resolved.
    QByteArray relativePath;
    // The name that every entry begins with.
    QByteArray entryName;
    // The folder's name as the log lines give it.
    QString displayName;
    // When set, only these entries of the folder (names without "/", in this order, each once), with
    // everything in them: the picked-entries archive.
    std::optional<std::vector<QByteArray>> picks;
};

// What an archive holds and in what order, walked before its first byte: the folder's entries as the
// archive's walk has always taken them (the file system's order, folders followed where they stand,
// links followed while they stay inside the share), with what no archive holds left out then (names
// that are not UTF-8, links that lead out, special files, what cannot be opened). Each entry keeps the
// identity it had then, so a file changed since can be told at its turn.
//
// Held compactly, for folders of any number of entries: 80 bytes per entry plus its own name (twice
// only when its archive name differs), so about 100 bytes per entry of a folder of photos.
// Threads: made and used by one thread at a time.
class QuarryArchiveLayout {
public:
    struct Entry {
        // Where the entry's local header begins in the archive with a length (QuarryStoredZIP).
        qint64 offset = 0;
        qint64 size = 0;
        // Nanoseconds since the epoch.
        qint64 modified = 0;
        qint64 changed = 0;
        quint64 inode = 0;
        quint64 device = 0;
        // The folder entry that holds it; the first entry, the archive's folder, holds itself.
        quint32 parent = 0;
        // Where its name on disk and its name in the archive lie in the layout's names.
        quint32 name = 0;
        quint32 archiveName = 0;
        quint16 nameLength = 0;
        quint16 archiveNameLength = 0;
        // Bytes of its whole name in the archive, with the "/" after a folder.
        quint16 pathLength = 0;
        // Type and permission bits.
        quint16 mode = 0;
        quint32 crc = 0;
        bool hasCRC = false;

        bool isFolder() const;
        qint64 modifiedSeconds() const;
    };

    enum class Outcome {
        made,
        // The folder cannot be opened.
        noFolder,
        // A picked name is no entry of the folder that an archive could hold.
        noPick,
        // More entries than one archive may hold.
        tooLarge,
        // The visitor left meanwhile.
        cancelled,
    };

    // The most bytes of names and central directory one archive may gather; past it the archive is
    // refused before its first byte.
    static constexpr qint64 kMaxDirectoryBytes = 64 * 1024 * 1024;
    // How deep folders are followed; deeper ones are left out with a log line.
    static constexpr int kMaxDepth = 64;

    // Walks the folder of source; cancelled is asked now and then.
    Outcome make(const QuarryFolderArchiveSpec& source, const std::function<bool()>& cancelled);

    const std::vector<Entry>& entries() const { return m_entries; }
    std::vector<Entry>& entries() { return m_entries; }
    // Where the entry is opened beneath the share's folder.
    QByteArray sharePath(size_t index) const;
    // Its whole name in the archive, with "/" after a folder.
    QByteArray archiveName(size_t index) const;
    // The latest modification of any entry, in seconds.
    qint64 latestModification() const { return m_latest; }
    // The share's folder, and the log lines' name of the archive.
    const QByteArray& rootPath() const { return m_rootPath; }
    const QString& displayName() const { return m_displayName; }
    // Why make ended as it did, when it was not made.
    const QString& problem() const { return m_problem; }

    // Whether an open file's status is still what the entry found, so its bytes are what the archive
    // promised.
    static bool isUnchanged(const Entry& entry, const struct stat& status);
    // A name as a log line may show it: control characters would let a file name forge lines of its own.
    static QString printable(const QByteArray& name);

private:
    friend class LayoutWalk;

    QByteArray m_rootPath;
    QByteArray m_base;
    QString m_displayName;
    std::vector<Entry> m_entries;
    QByteArray m_names;
    qint64 m_latest = 0;
    QString m_problem;
};
