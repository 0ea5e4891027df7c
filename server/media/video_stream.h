#pragma once

#include "server/http/http_response.h"
#include "server/media/media_child.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// A video as a fragmented MP4 (H.264 and AAC) that every browser plays, made by a guarded ffmpeg child
// while it is sent: the video copied when it already is H.264, else transcoded at 1080p or below.
// The child stops when the response is dropped (the visitor went) or nothing is taken for a minute
// (the connection stalled). Threads: take and setWaker on the server thread; a reader thread of its own
// moves the child's output into a bounded buffer.
class QuarryVideoStream : public QuarryHTTPBodySource {
public:
    // The stream of the open file from `from` seconds on; factsJSON is what its probe answered. slot
    // is held as long as the stream lives. Nothing when the child cannot start.
    static std::shared_ptr<QuarryVideoStream> start(int fileDescriptor, const QByteArray& factsJSON,
                                                    double from, std::shared_ptr<void> slot);
    ~QuarryVideoStream() override;

    Status take(QByteArray& out, qsizetype maxBytes) override;
    void setWaker(std::function<void()> wake) override;

    explicit QuarryVideoStream(std::unique_ptr<QuarryMediaChild::Running> child, std::shared_ptr<void> slot);

private:
    void pump();
    void wake();

    std::unique_ptr<QuarryMediaChild::Running> m_child;
    std::shared_ptr<void> m_slot;
    std::mutex m_lock;
    QByteArray m_buffer;
    bool m_stopping = false;
    Status m_end = Status::waiting;
    std::chrono::steady_clock::time_point m_lastTaken;
    std::mutex m_wakeLock;
    std::function<void()> m_wake;
    std::thread m_reader;
};
