#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <mutex>
#include <optional>

// The CRC-32 of files that archives have sent, kept on disk beside the thumbnails, so that an archive
// resumed from its middle can write its central directory without reading again what came before.
// Keyed as thumbnails are, by a digest of the file's path, size, modification and change times and
// inode, so a changed file is never given an old checksum. One file of fixed size (16 MiB, sparse, for
// 524,288 checksums), readable by the user only: a set-associative table whose records carry a check of
// their own, so a torn or foreign record reads as missing; when a set is full its oldest record goes.
// Threads: any; records are read and written whole with pread and pwrite, from several threads and
// processes at once.
class QuarryChecksumCache {
public:
    using Key = std::array<unsigned char, 16>;

    explicit QuarryChecksumCache(QString path);
    ~QuarryChecksumCache();
    QuarryChecksumCache(const QuarryChecksumCache&) = delete;
    QuarryChecksumCache& operator=(const QuarryChecksumCache&) = delete;

    // $XDG_CACHE_HOME/brightloom Share/checksums.
    static QString defaultPath();
    static Key keyFor(const QByteArray& path, qint64 size, qint64 modifiedNanoseconds,
                      qint64 changedNanoseconds, quint64 inode);

    std::optional<quint32> find(const Key& key);
    // Failures (a full disk, a read-only cache folder) only mean the checksum is computed again.
    void store(const Key& key, quint32 crc);

private:
    // The open table, made on first use; -1 when it cannot be.
    int table();

    const QString m_path;
    std::mutex m_lock;
    int m_descriptor = -1;
    bool m_tried = false;
};
