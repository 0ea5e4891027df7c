#pragma once

#include "server/http/http_response.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// The bounded buffer between the thread that writes an archive and the connection that sends it. The
// writer blocks while the buffer is full, so a visitor who reads slowly slows the writer down and memory
// stays the same whatever the archive's size; cancelling (the visitor is gone) releases it at once.
// Besides bytes, the writer may hand over spans of open files, which the connection sends straight from
// the file (no copy passes through here), each checked once it has gone out.
// Threads: the writer side on the writer's thread, take, takeFile and setWaker on the server thread, the
// rest on any.
class QuarryArchiveStream : public QuarryHTTPBodySource {
public:
    enum class Phase { preparing, started, finished, failed };

    // capacity: the most bytes held for the connection before the writer waits.
    explicit QuarryArchiveStream(qsizetype capacity = 1024 * 1024);

    // Writer side. write returns false once the stream is cancelled.
    bool write(const char* data, qsizetype size);
    // A span of an open file, sent as it is on the disk when its turn comes. Once its last byte has gone
    // out, sentWhole says whether the file is still what was promised: if not, the stream fails there
    // and the connection is cut. Waits while two spans are ahead of the connection; false once
    // cancelled.
    bool writeFile(std::shared_ptr<QuarryHTTPFileBody> span, std::function<bool()> sentWhole);
    // Hands over what is held back for a larger piece; at the end of an entry, when the connection has
    // nothing to send.
    void flushIfIdle();
    // The archive could be begun: this status and these headers go out, and the body follows.
    void start(HTTPResponse head);
    // The whole answer is this one, without a body from the stream (a HEAD, a 304, a refusal).
    void answer(HTTPResponse whole);
    // The archive is complete and every byte handed over.
    void finish();
    // The archive cannot be completed: before start, the visitor gets an error page instead; after it,
    // the connection is cut before the end.
    void fail();
    bool isCancelled() const;
    // Whether the writer has waited longer than this, and waits still, for the connection to take what
    // it made: its visitor reads slowly, and it needs neither disk nor processor meanwhile.
    bool waitsForReader(std::chrono::steady_clock::duration longerThan) const;

    // Owner side: the visitor is gone; the writer stops at its next write.
    void cancel();
    Phase phase() const;
    // Whether start was ever called, even if the archive failed since.
    bool hasStarted() const;
    // The head given to start, or the answer given to answer; once.
    std::optional<HTTPResponse> takeHead();

    Status take(QByteArray& out, qsizetype maxBytes) override;
    std::shared_ptr<QuarryHTTPFileBody> takeFile() override;
    void setWaker(std::function<void()> wake) override;

private:
    struct Piece {
        QByteArray bytes;
        std::shared_ptr<QuarryHTTPFileBody> file;
        std::function<bool()> sentWhole;
    };

    bool pushLocked(std::unique_lock<std::mutex>& lock, Piece piece);
    // Waits until there is room or the visitor is gone; the wait counts as waiting for the reader.
    template <typename Room>
    void waitForRoomLocked(std::unique_lock<std::mutex>& lock, Room room) {
        if (m_cancelled || room())
            return;
        m_waitingSince = std::chrono::steady_clock::now();
        m_roomFreed.wait(lock, [&] { return m_cancelled || room(); });
        m_waitingSince = {};
    }
    bool flushLocked(std::unique_lock<std::mutex>& lock);
    void wakeLocked();

    const qsizetype m_capacity;
    mutable std::mutex m_lock;
    std::condition_variable m_roomFreed;
    std::deque<Piece> m_ready;
    qsizetype m_readyBytes = 0;
    // A file span given to the connection, and the check to run when it comes back for more.
    std::shared_ptr<QuarryHTTPFileBody> m_handed;
    std::function<bool()> m_handedCheck;
    bool m_fileOut = false;
    // Spans in line or with the connection.
    int m_spans = 0;
    Phase m_phase = Phase::preparing;
    bool m_cancelled = false;
    bool m_started = false;
    std::optional<HTTPResponse> m_head;
    // Since when the writer waits for room; the epoch while it does not.
    std::chrono::steady_clock::time_point m_waitingSince;
    std::function<void()> m_wake;
    // Small writes gathered on the writer's thread before they are handed over; only it touches them.
    QByteArray m_gathered;
};
