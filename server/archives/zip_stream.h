#pragma once

#include "server/archives/archive_stream.h"

#include <QByteArray>
#include <QString>

#include <locale.h>
#include <sys/stat.h>

struct archive;

// Writes a ZIP archive into a stream as it goes, with libarchive's ZIP writer on a write callback:
// entries whose sizes are known when they begin, CRCs in data descriptors, ZIP64 wherever an entry, an
// offset or the number of entries needs it. Names are taken as the bytes they are on disk and flagged
// as UTF-8 when they are UTF-8. Files whose name says their content is already compressed are stored,
// the others deflated. Threads: one writer thread uses it, from open to close.
class QuarryZIPWriter {
public:
    explicit QuarryZIPWriter(QuarryArchiveStream& out);
    ~QuarryZIPWriter();
    QuarryZIPWriter(const QuarryZIPWriter&) = delete;
    QuarryZIPWriter& operator=(const QuarryZIPWriter&) = delete;

    // Each returns false when libarchive cannot go on. A cancelled stream takes nothing more: the entry
    // being written ends early, and the caller stops at its next look at the stream.
    bool open();
    bool addFolder(const QByteArray& name, const struct stat& status);
    // Sends the size the file had when it was opened: a file that shrinks meanwhile is filled up with
    // zeros, and `problem` says why, so the archive stays readable.
    bool addFile(const QByteArray& name, int descriptor, const struct stat& status, QString& problem);
    bool close();
    QString errorText() const;

    // Whether the file name's suffix names an already-compressed format (case ignored).
    static bool isStoredAsIs(const QByteArray& name);

private:
    bool writeHeader(const QByteArray& name, unsigned int type, const struct stat& status, qint64 size);

    QuarryArchiveStream& m_out;
    archive* m_archive = nullptr;
    QByteArray m_buffer;
    locale_t m_previousLocale = nullptr;
    locale_t m_utf8Locale = nullptr;
    locale_t m_plainLocale = nullptr;
};
