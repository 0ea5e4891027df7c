#pragma once

#include "server/http/http_response.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// The bounded buffer between the thread that writes an archive and the connection that sends it. The
// writer blocks while the buffer is full, so a visitor who reads slowly slows the writer down and memory
// stays the same whatever the archive's size; cancelling (the visitor is gone) releases it at once.
// Threads: the writer side on the writer's thread, take and setWaker on the server thread, the rest on any.
class QuarryArchiveStream : public QuarryHTTPBodySource {
public:
    enum class Phase { preparing, started, finished, failed };

    // capacity: the most bytes held for the connection before the writer waits.
    explicit QuarryArchiveStream(qsizetype capacity = 1024 * 1024);

    // Writer side. write returns false once the stream is cancelled.
    bool write(const char* data, qsizetype size);
    // Hands over what is held back for a larger piece; at the end of an entry, when the connection has
    // nothing to send.
    void flushIfIdle();
    // The archive could be begun: its status and headers may go out.
    void start();
    // The archive is complete and every byte handed over.
    void finish();
    // The archive cannot be completed: before start, the visitor gets an error page instead.
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

    Status take(QByteArray& out, qsizetype maxBytes) override;
    void setWaker(std::function<void()> wake) override;

private:
    bool pushLocked(std::unique_lock<std::mutex>& lock, QByteArray piece);
    void wakeLocked();

    const qsizetype m_capacity;
    mutable std::mutex m_lock;
    std::condition_variable m_roomFreed;
    std::deque<QByteArray> m_ready;
    qsizetype m_readyBytes = 0;
    Phase m_phase = Phase::preparing;
    bool m_cancelled = false;
    bool m_started = false;
    // Since when the writer waits for room; the epoch while it does not.
    std::chrono::steady_clock::time_point m_waitingSince;
    std::function<void()> m_wake;
    // Small writes gathered on the writer's thread before they are handed over; only it touches them.
    QByteArray m_gathered;
};
