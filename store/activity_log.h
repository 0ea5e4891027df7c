#pragma once

#include "server/site/activity.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// What visitors fetched: the last events in memory, the answers being sent right now, and every
// finished event appended as one JSON object a line to activity.jsonl (readable by the user only;
// moved to activity.1.jsonl past 5 MiB) by a thread of its own, so the disk never holds anyone up and
// a failed write costs nothing but the line. Thumbnails of one folder fetched by one visitor make one
// event, written once the visitor has been quiet for a while. Lives on the main thread.
class QuarryActivityLog : public QObject {
    Q_OBJECT
    // What the Activity view shows, rebuilt on every change. visitors: per share {share, slug, visitors:
    // [{client, via, firstSeen, lastSeen, fetched}]}; downloads: the running ones {name, share, client, via,
    // bytesSent, bytesPromised, progress (0 to 1, or -1 when the size is unknown)}; totals: per share
    // {share, slug, visitors, downloads (completed), bytesSent} since `totalsSince`.
    Q_PROPERTY(QVariantList visitors READ visitors NOTIFY changed)
    Q_PROPERTY(QVariantList downloads READ downloads NOTIFY changed)
    Q_PROPERTY(QVariantList totals READ totals NOTIFY changed)
    Q_PROPERTY(QString totalsSince READ totalsSinceText NOTIFY changed)
public:
    static constexpr int kKeptEvents = 2000;
    static constexpr qint64 kRotationBytes = 5 * 1024 * 1024;

    // Reads back what `folder` holds (activity.1.jsonl, then activity.jsonl) when recording.
    QuarryActivityLog(const QString& folder, bool recording, QObject* parent = nullptr);
    // Writes what is pending, thumbnails included, before it ends.
    ~QuarryActivityLog() override;

    bool isRecording() const { return m_recording; }
    // Off: forgets every event and removes both files.
    void setRecording(bool recording);

    // An event as the server reports it: progress of a running answer, or its end.
    void add(const QuarryActivityEvent& event);
    // Events as they came, oldest first, told as one change.
    void addAll(const QList<QuarryActivityEvent>& events);
    // Oldest first.
    const std::deque<QuarryActivityEvent>& events() const { return m_events; }
    QList<QuarryActivityEvent> running() const { return m_running.values(); }
    // Files and archives being sent right now.
    int runningDownloads() const;
    static bool isDownload(const QuarryActivityEvent& event);
    // Closes the thumbnail events of visitors quiet since `quietSince` (all of them without it) and
    // waits until everything so far is on disk.
    void flush();

    // A share's name for the view; its slug without one.
    void setShareNamer(std::function<QString(const QUuid&)> namer) { m_shareName = std::move(namer); }
    QVariantList visitors() const;
    QVariantList downloads() const;
    QVariantList totals() const;
    QString totalsSinceText() const;
    QDateTime totalsSince() const { return m_totalsSince; }
    void setTotalsSince(const QDateTime& since);
    // Starts the totals again from now.
    Q_INVOKABLE void resetTotals();

    static QByteArray jsonLine(const QuarryActivityEvent& event);
    static std::optional<QuarryActivityEvent> fromJSONLine(const QByteArray& line);
    QString filePath() const;
    QString rotatedFilePath() const;

Q_SIGNALS:
    void changed();
    void runningDownloadsChanged();
    void totalsReset(const QDateTime& since);
    // An answer that ended, once (thumbnails: each picture).
    void answerEnded(const QuarryActivityEvent& event);
    // A visitor now holds a whole file or archive: one answer sent it all, or the pieces sent to that
    // visitor of the same item and entity tag (a download resumed with ranges) cover its whole length.
    // Told with the answer that completed it.
    void downloadedWhole(const QuarryActivityEvent& event);

private:
    void readBack();
    void take(const QuarryActivityEvent& event);
    void remember(const QuarryActivityEvent& event);
    void closeThumbnails(bool all);
    void cover(const QuarryActivityEvent& event);
    // Hands the lines gathered so far to the writer in one piece.
    void sendLines();
    void write(QByteArray line);
    void writerLoop();

    QString shareName(const QuarryActivityEvent& event) const;

    QString m_folder;
    bool m_recording;
    std::function<QString(const QUuid&)> m_shareName;
    QDateTime m_totalsSince;
    std::deque<QuarryActivityEvent> m_events;
    QHash<quint64, QuarryActivityEvent> m_running;
    // The open thumbnail event of each visitor and folder, and when it last grew.
    struct Thumbnails {
        QuarryActivityEvent event;
        qint64 lastMSecs = 0;
    };
    QList<Thumbnails> m_thumbnails;
    // The spans sent so far of downloads that some visitor holds only in part, the latest last.
    struct Coverage {
        QuarryActivityEvent item;           // the share, path, visitor, kind, tag and length that tell it
        QList<QPair<qint64, qint64>> spans; // [first, end), sorted, never touching
    };
    QList<Coverage> m_coverage;
    QByteArray m_lines; // written, not yet handed to the writer

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<QByteArray> m_pending; // an empty line removes the files
    bool m_writing = false;
    bool m_stopping = false;
    std::thread m_writer;
};
