#pragma once

#include <QByteArray>
#include <QString>

#include <mutex>
#include <optional>
#include <sys/stat.h>

// Thumbnails kept on disk, so a folder opened again shows its pictures without decoding anything.
// One file per thumbnail, named by a digest of the image's path, size, modification and change times
// and identity, so a changed image gets a new thumbnail even when its modification time was kept; an empty
// file records that none can be made. The folder is readable by the user only, and its total size stays under
// a cap: past it, the thumbnails used longest ago go first. Threads: any; find, store and the cap's upkeep
// may run at the same time on different threads.
class QuarryThumbnailCache {
public:
    static constexpr qint64 kDefaultCapacity = 256LL * 1024 * 1024;

    struct Entry {
        int descriptor = -1; // open for reading, owned by the caller; -1 when no thumbnail can be made
        qint64 length = 0;
        QString contentType;
    };

    // folder is made (with its missing parents, readable by the user only) on the first store.
    explicit QuarryThumbnailCache(QString folder, qint64 capacity = kDefaultCapacity);

    // $XDG_CACHE_HOME/brightloom Share/thumbnails.
    static QString defaultFolder();
    // The name of an image's thumbnail: a digest of its resolved path, size, times and identity.
    static QString keyFor(const QString& resolvedPath, const struct stat& status);

    std::optional<Entry> find(const QString& key);
    // Keeps a thumbnail, or with empty bytes the fact that none can be made. Failures (a full disk)
    // only mean the thumbnail is made again next time.
    void store(const QString& key, const QByteArray& bytes);

    QString folder() const { return m_folder; }

private:
    bool ensureFolder();
    // Removes the least recently used thumbnails until the total is well under the cap.
    void trim();

    const QString m_folder;
    const qint64 m_capacity;
    std::mutex m_lock;
    bool m_folderReady = false;
    // Bytes in the folder, counted when first needed, then kept up to date; -1 before.
    qint64 m_total = -1;
};
