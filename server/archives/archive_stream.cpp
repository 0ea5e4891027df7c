#include "server/archives/archive_stream.h"

namespace {

// Writes are gathered up to this size before they are handed over, so that the many small pieces of
// an archive's headers do not each cost a chunk and a lock.
constexpr qsizetype kPieceSize = 64 * 1024;
// File spans in line at most: the next file is ready when the connection ends one, and no more files
// are held open than that.
constexpr int kSpansAhead = 2;

} // namespace

QuarryArchiveStream::QuarryArchiveStream(qsizetype capacity)
    : m_capacity(capacity) {}

bool QuarryArchiveStream::write(const char* data, qsizetype size) {
    if (size >= kPieceSize && m_gathered.isEmpty()) {
        std::unique_lock lock(m_lock);
        return pushLocked(lock, Piece{QByteArray(data, size), nullptr, nullptr});
    }
    m_gathered.append(data, size);
    if (m_gathered.size() < kPieceSize) {
        std::lock_guard lock(m_lock);
        return !m_cancelled && m_phase != Phase::failed;
    }
    std::unique_lock lock(m_lock);
    return flushLocked(lock);
}

bool QuarryArchiveStream::writeFile(std::shared_ptr<QuarryHTTPFileBody> span,
                                    std::function<bool()> sentWhole) {
    std::unique_lock lock(m_lock);
    if (!flushLocked(lock))
        return false;
    // A span holds no memory here, but an open file: only a couple go ahead of the connection.
    waitForRoomLocked(lock, [this] { return m_spans < kSpansAhead; });
    if (m_cancelled || m_phase == Phase::failed)
        return false;
    const bool wasEmpty = m_ready.empty();
    ++m_spans;
    m_ready.push_back(Piece{QByteArray(), std::move(span), std::move(sentWhole)});
    if (wasEmpty)
        wakeLocked();
    return true;
}

void QuarryArchiveStream::flushIfIdle() {
    if (m_gathered.isEmpty())
        return;
    std::unique_lock lock(m_lock);
    if (m_ready.empty())
        flushLocked(lock);
}

bool QuarryArchiveStream::flushLocked(std::unique_lock<std::mutex>& lock) {
    if (m_gathered.isEmpty())
        return !m_cancelled;
    return pushLocked(lock, Piece{std::exchange(m_gathered, QByteArray()), nullptr, nullptr});
}

bool QuarryArchiveStream::pushLocked(std::unique_lock<std::mutex>& lock, Piece piece) {
    waitForRoomLocked(lock, [this] { return m_readyBytes < m_capacity; });
    // Nothing more joins an archive that has failed: the connection is cut after what it has.
    if (m_cancelled || m_phase == Phase::failed)
        return false;
    const bool wasEmpty = m_ready.empty();
    m_readyBytes += piece.bytes.size();
    m_ready.push_back(std::move(piece));
    if (wasEmpty)
        wakeLocked();
    return true;
}

void QuarryArchiveStream::start(HTTPResponse head) {
    std::lock_guard lock(m_lock);
    m_head = std::move(head);
    if (m_phase == Phase::preparing)
        m_phase = Phase::started;
    m_started = true;
    wakeLocked();
}

void QuarryArchiveStream::answer(HTTPResponse whole) {
    std::lock_guard lock(m_lock);
    m_head = std::move(whole);
    m_phase = Phase::finished;
    wakeLocked();
}

void QuarryArchiveStream::finish() {
    std::unique_lock lock(m_lock);
    if (!flushLocked(lock))
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
    m_handed.reset();
    m_handedCheck = nullptr;
    m_spans = 0;
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

std::optional<HTTPResponse> QuarryArchiveStream::takeHead() {
    std::lock_guard lock(m_lock);
    return std::exchange(m_head, std::nullopt);
}

QuarryHTTPBodySource::Status QuarryArchiveStream::take(QByteArray& out, qsizetype maxBytes) {
    std::lock_guard lock(m_lock);
    // The connection comes back only once it has sent what it took before, a file span included: the
    // file must still be what the span promised, or the body ends here, short.
    if (m_fileOut) {
        m_fileOut = false;
        --m_spans;
        m_roomFreed.notify_all();
        const std::function<bool()> check = std::exchange(m_handedCheck, nullptr);
        if (check && !check()) {
            m_phase = Phase::failed;
            m_ready.clear();
            m_readyBytes = 0;
            return Status::failed;
        }
    }
    if (!m_ready.empty()) {
        Piece& front = m_ready.front();
        if (front.file) {
            m_handed = std::move(front.file);
            m_handedCheck = std::move(front.sentWhole);
            m_fileOut = true;
            m_ready.pop_front();
            return Status::file;
        }
        if (front.bytes.size() <= maxBytes) {
            out = std::move(front.bytes);
            m_ready.pop_front();
        } else {
            out = front.bytes.left(maxBytes);
            front.bytes.remove(0, maxBytes);
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

std::shared_ptr<QuarryHTTPFileBody> QuarryArchiveStream::takeFile() {
    std::lock_guard lock(m_lock);
    return std::exchange(m_handed, nullptr);
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
