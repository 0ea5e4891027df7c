#include "server/archives/archive_stream.h"

namespace {

// Writes are gathered up to this size before they are handed over, so that the many small pieces of
// an archive's headers do not each cost a chunk and a lock.
constexpr qsizetype kPieceSize = 64 * 1024;

} // namespace

QuarryArchiveStream::QuarryArchiveStream(qsizetype capacity)
    : m_capacity(capacity) {}

bool QuarryArchiveStream::write(const char* data, qsizetype size) {
    if (size >= kPieceSize && m_gathered.isEmpty()) {
        std::unique_lock lock(m_lock);
        return pushLocked(lock, QByteArray(data, size));
    }
    m_gathered.append(data, size);
    if (m_gathered.size() < kPieceSize) {
        std::lock_guard lock(m_lock);
        return !m_cancelled;
    }
    std::unique_lock lock(m_lock);
    return pushLocked(lock, std::exchange(m_gathered, QByteArray()));
}

void QuarryArchiveStream::flushIfIdle() {
    if (m_gathered.isEmpty())
        return;
    std::unique_lock lock(m_lock);
    if (m_ready.empty())
        pushLocked(lock, std::exchange(m_gathered, QByteArray()));
}

bool QuarryArchiveStream::pushLocked(std::unique_lock<std::mutex>& lock, QByteArray piece) {
    if (!m_cancelled && m_readyBytes >= m_capacity) {
        m_waitingSince = std::chrono::steady_clock::now();
        m_roomFreed.wait(lock, [this] { return m_cancelled || m_readyBytes < m_capacity; });
        m_waitingSince = {};
    }
    if (m_cancelled)
        return false;
    const bool wasEmpty = m_ready.empty();
    m_readyBytes += piece.size();
    m_ready.push_back(std::move(piece));
    if (wasEmpty)
        wakeLocked();
    return true;
}

void QuarryArchiveStream::start() {
    std::lock_guard lock(m_lock);
    if (m_phase == Phase::preparing)
        m_phase = Phase::started;
    m_started = true;
    wakeLocked();
}

void QuarryArchiveStream::finish() {
    std::unique_lock lock(m_lock);
    if (!m_gathered.isEmpty() && !pushLocked(lock, std::exchange(m_gathered, QByteArray())))
        return;
    m_phase = Phase::finished;
    wakeLocked();
}

void QuarryArchiveStream::fail() {
    std::lock_guard lock(m_lock);
    m_phase = Phase::failed;
    m_gathered.clear();
    wakeLocked();
}

bool QuarryArchiveStream::isCancelled() const {
    std::lock_guard lock(m_lock);
    return m_cancelled;
}

bool QuarryArchiveStream::waitsForReader(std::chrono::steady_clock::duration longerThan) const {
    std::lock_guard lock(m_lock);
    return m_waitingSince != std::chrono::steady_clock::time_point() &&
           std::chrono::steady_clock::now() - m_waitingSince > longerThan;
}

void QuarryArchiveStream::cancel() {
    std::lock_guard lock(m_lock);
    m_cancelled = true;
    m_ready.clear();
    m_readyBytes = 0;
    m_roomFreed.notify_all();
}

QuarryArchiveStream::Phase QuarryArchiveStream::phase() const {
    std::lock_guard lock(m_lock);
    return m_phase;
}

bool QuarryArchiveStream::hasStarted() const {
    std::lock_guard lock(m_lock);
    return m_started;
}

QuarryHTTPBodySource::Status QuarryArchiveStream::take(QByteArray& out, qsizetype maxBytes) {
    std::lock_guard lock(m_lock);
    if (!m_ready.empty()) {
        QByteArray& front = m_ready.front();
        if (front.size() <= maxBytes) {
            out = std::move(front);
            m_ready.pop_front();
        } else {
            out = front.left(maxBytes);
            front.remove(0, maxBytes);
        }
        m_readyBytes -= out.size();
        m_roomFreed.notify_all();
        return Status::data;
    }
    // What was made before a failure is never sent as if the archive were whole.
    switch (m_phase) {
    case Phase::finished:
        return Status::finished;
    case Phase::failed:
        return Status::failed;
    default:
        return m_cancelled ? Status::failed : Status::waiting;
    }
}

void QuarryArchiveStream::setWaker(std::function<void()> wake) {
    std::lock_guard lock(m_lock);
    m_wake = std::move(wake);
}

void QuarryArchiveStream::wakeLocked() {
    // Called under the lock, so setWaker never returns while the previous waker runs.
    if (m_wake)
        m_wake();
}
