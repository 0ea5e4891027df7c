#pragma once

#include "server/archives/archive_stream.h"

#include <QByteArray>
#include <QString>

#include <locale.h>

struct archive;

// Writes a ZIP archive into a stream as it goes, with libarchive's ZIP writer on a write callback:
// entries whose sizes are known when they begin, CRCs in data descriptors, ZIP64 wherever an entry, an
// offset or the number of entries needs it. Names are flagged as UTF-8 when they are UTF-8. Files whose
// name says their content is already compressed are stored, the others deflated. Threads: one writer
// thread uses it, from open to close.
class QuarryZIPWriter {
public:
    explicit QuarryZIPWriter(QuarryArchiveStream& out);
    ~QuarryZIPWriter();
    QuarryZIPWriter(const QuarryZIPWriter&) = delete;
    QuarryZIPWriter& operator=(const QuarryZIPWriter&) = delete;

    // Each returns false when the archive cannot go on. A cancelled stream takes nothing more: the entry
    // being written ends early, and the caller stops at its next look at the stream.
    bool open();
    // mode: type and permission bits; modified: seconds since the epoch.
    bool addFolder(const QByteArray& name, unsigned int mode, qint64 modified);
    // Sends size bytes of the open file and answers their CRC-32. A file that ends before them (it
    // shrank) or cannot be read ends the archive: problem says why, and no entry is ever padded.
    bool addFile(const QByteArray& name, int descriptor, qint64 size, unsigned int mode, qint64 modified,
                 quint32& crc, QString& problem);
    bool close();
    QString errorText() const;

    // Whether the file name's suffix names an already-compressed format (case ignored).
    static bool isStoredAsIs(const QByteArray& name);

private:
    bool writeHeader(const QByteArray& name, unsigned int type, unsigned int mode, qint64 modified,
                     qint64 size);

    QuarryArchiveStream& m_out;
    archive* m_archive = nullptr;
    QByteArray m_buffer;
    locale_t m_previousLocale = nullptr;
    locale_t m_utf8Locale = nullptr;
    locale_t m_plainLocale = nullptr;
};
