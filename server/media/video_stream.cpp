#include "server/media/video_stream.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

// Enough for a few seconds of a 1080p stream; past it the child waits on its pipe.
constexpr qsizetype kBuffered = 4 * 1024 * 1024;
// A paused player stops reading; one that has not read for this long has gone.
constexpr std::chrono::seconds kStalled{60};

QByteArrayList streamArguments(const QJsonObject& facts, double from) {
    // Only 8-bit 4:2:0 H.264 (Baseline, Main, High) plays everywhere; High 10, 4:2:2 and 4:4:4 do not.
    static const QRegularExpression everywhere(QStringLiteral("^avc1\\.(42|4D|64)"));
    const bool copyVideo =
        everywhere.match(facts[QStringLiteral("videoProfile")].toString()).hasMatch() &&
        qMax(facts[QStringLiteral("width")].toInt(), facts[QStringLiteral("height")].toInt()) <= 1920;
    const bool copyAudio = facts[QStringLiteral("audio")].toString() == QLatin1String("aac");
    QByteArrayList arguments{"-nostdin", "-v", "error"};
    arguments += QuarryMediaChild::inputOptions();
    // Seeking before the input decodes nothing before the start.
    // A time past the end (or a silly one) starts at the last second.
    const double last = qMax(0.0, facts[QStringLiteral("duration")].toDouble() - 1);
    arguments += {"-ss",
                  QByteArray::number(qBound(0.0, from, last), 'f', 3),
                  "-i",
                  "/proc/self/fd/3",
                  "-map",
                  "0:v:0",
                  "-map",
                  "0:a:0?",
                  "-sn",
                  "-dn",
                  "-map_metadata",
                  "-1"};
    if (copyVideo) {
        arguments += {"-c:v", "copy"};
    } else {
        // ultrafast: the rest of the presets' gain in size costs real time (veryfast made 1080p at 0.5-0.7x
        // on two cores, ultrafast 1.1x); and on two cores or fewer the picture is scaled to 720p, which
        // leaves room for the server and for a busy machine (1.8x).
        const QByteArray side = QByteArray::number(QThread::idealThreadCount() <= 2 ? 1280 : 1920);
        arguments += {"-c:v",
                      "libx264",
                      "-preset",
                      "ultrafast",
                      "-profile:v",
                      "high",
                      "-pix_fmt",
                      "yuv420p",
                      "-vf",
                      "scale='min(" + side + ",iw)':'min(" + side +
                          ",ih)':force_original_aspect_ratio=decrease:force_divisible_by=2",
                      "-g",
                      "60"};
    }
    arguments += copyAudio ? QByteArrayList{"-c:a", "copy"}
                           : QByteArrayList{"-c:a", "aac", "-ac", "2", "-b:a", "160k"};
    arguments +=
        {"-f",      "mp4",   "-movflags", "frag_keyframe+empty_moov+default_base_moof", "-frag_duration",
         "1000000", "pipe:1"};
    return arguments;
}

} // namespace

std::shared_ptr<QuarryVideoStream> QuarryVideoStream::start(int fileDescriptor, const QByteArray& factsJSON,
                                                            double from, std::shared_ptr<void> slot) {
    static const QByteArray ffmpeg = QuarryMediaChild::executable("ffmpeg");
    const QJsonObject facts = QJsonDocument::fromJson(factsJSON).object();
    QuarryMediaChild::Limits limits;
    // A transcoder holds frames for its look-ahead; its CPU time grows with the clip.
    limits.addressSpace = 4LL * 1024 * 1024 * 1024;
    limits.cpuSeconds =
        60 + static_cast<int>(qMin(facts[QStringLiteral("duration")].toDouble(), 86400.0) * 4);
    std::unique_ptr<QuarryMediaChild::Running> child =
        QuarryMediaChild::start(ffmpeg, streamArguments(facts, from), fileDescriptor, limits);
    if (!child)
        return nullptr;
    return std::make_shared<QuarryVideoStream>(std::move(child), std::move(slot));
}

QuarryVideoStream::QuarryVideoStream(std::unique_ptr<QuarryMediaChild::Running> child,
                                     std::shared_ptr<void> slot)
    : m_child(std::move(child))
    , m_slot(std::move(slot))
    , m_lastTaken(std::chrono::steady_clock::now())
    , m_reader([this] { pump(); }) {}

QuarryVideoStream::~QuarryVideoStream() {
    {
        const std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_reader.join();
    m_child->kill();
}

void QuarryVideoStream::wake() {
    const std::lock_guard lock(m_wakeLock);
    if (m_wake)
        m_wake();
}

void QuarryVideoStream::setWaker(std::function<void()> wake) {
    const std::lock_guard lock(m_wakeLock);
    m_wake = std::move(wake);
}

QuarryHTTPBodySource::Status QuarryVideoStream::take(QByteArray& out, qsizetype maxBytes) {
    const std::lock_guard lock(m_lock);
    m_lastTaken = std::chrono::steady_clock::now();
    if (!m_buffer.isEmpty()) {
        out = m_buffer.left(maxBytes);
        m_buffer.remove(0, out.size());
        return Status::data;
    }
    return m_end;
}

void QuarryVideoStream::pump() {
    QByteArray chunk(256 * 1024, Qt::Uninitialized);
    Status end = Status::failed;
    for (;;) {
        bool room = false;
        {
            const std::lock_guard lock(m_lock);
            if (m_stopping || std::chrono::steady_clock::now() - m_lastTaken > kStalled)
                break;
            room = m_buffer.size() < kBuffered;
        }
        if (!room) {
            ::usleep(20000);
            continue;
        }
        pollfd readable{m_child->output(), POLLIN, 0};
        if (::poll(&readable, 1, 50) < 0 && errno != EINTR)
            break;
        const ssize_t got = ::read(m_child->output(), chunk.data(), static_cast<size_t>(chunk.size()));
        if (got > 0) {
            {
                const std::lock_guard lock(m_lock);
                m_buffer.append(chunk.constData(), got);
            }
            wake();
        } else if (got == 0) {
            // A child that fails part way leaves a cut-off stream, which must not look complete.
            const bool well =
                m_child->exitedWell(std::chrono::steady_clock::now() + std::chrono::seconds(5), nullptr);
            end = well ? Status::finished : Status::failed;
            break;
        } else if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    m_child->kill();
    {
        const std::lock_guard lock(m_lock);
        m_end = end;
    }
    wake();
}
