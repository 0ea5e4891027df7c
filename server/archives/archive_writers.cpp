#include "server/archives/archive_writers.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace {

std::atomic_int runningWriterThreads{0};

// Writers run beside the server thread, which answers every visitor: when the cores are busy, the
// server thread goes first, so that archives being made (checksums read from gigabytes of files) never
// slow every other answer. An idle machine still gives the writers all they ask for.
constexpr int kWriterNiceness = 10;

} // namespace

QuarryArchiveWriters::QuarryArchiveWriters(QObject* parent)
    : QObject(parent)
    , m_mailbox(new QuarryMailbox(this))
    , m_lookAgain(this) {
    m_lookAgain.setSingleShot(true);
    connect(&m_lookAgain, &QTimer::timeout, this, &QuarryArchiveWriters::startWaiting);
}

QuarryArchiveWriters::~QuarryArchiveWriters() {
    {
        std::lock_guard lock(m_closingLock);
        m_closing = true;
    }
    for (Running& running : m_running)
        running.stream->cancel();
    for (Running& running : m_running)
        running.thread.join();
}

int QuarryArchiveWriters::runningThreads() {
    return runningWriterThreads.load();
}

void QuarryArchiveWriters::submit(const QString& client, const QuarryArchiveLimits& limits,
                                  const std::shared_ptr<QuarryArchiveStream>& stream, Writer writer,
                                  std::function<void()> started) {
    m_limits = limits;
    m_waiting.push_back(Waiting{client, stream, std::move(writer), std::move(started)});
    startWaiting();
}

int QuarryArchiveWriters::working() const {
    int working = 0;
    for (const Running& running : m_running)
        working += running.stream->waitsForReader(m_limits.yieldAfter) ? 0 : 1;
    return working;
}

void QuarryArchiveWriters::startWaiting() {
    const int atOnce = qMax(1, m_limits.atOnce);
    const int most = m_limits.mostWriters > 0 ? qMax(atOnce, m_limits.mostWriters) : 4 * atOnce;
    int working = this->working();
    // Told once the line is settled: what they set off may come back here.
    std::vector<std::function<void()>> started;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (working >= atOnce || static_cast<int>(m_running.size()) >= most)
            break;
        std::shared_ptr<QuarryArchiveStream> stream = it->stream.lock();
        if (!stream || stream->isCancelled()) {
            it = m_waiting.erase(it);
            continue;
        }
        const int ofClient = m_runningPerClient.value(it->client);
        if (ofClient >= qMax(1, m_limits.perClient)) {
            ++it;
            continue;
        }
        m_runningPerClient.insert(it->client, ofClient + 1);
        const quint64 id = ++m_nextId;
        Running& running = m_running.emplace_back();
        running.id = id;
        running.client = it->client;
        running.stream = stream;
        ++runningWriterThreads;
        running.thread = std::thread([this, id, stream, writer = std::move(it->writer)] {
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWriterNiceness);
            writer(*stream);
            {
                std::lock_guard lock(m_closingLock);
                if (!m_closing)
                    m_mailbox->post([this, id] { ended(id); });
            }
            --runningWriterThreads;
        });
        ++working;
        if (it->started)
            started.push_back(std::move(it->started));
        it = m_waiting.erase(it);
    }
    // A writer may come to wait for its visitor without a word: look again while others wait.
    if (!m_waiting.empty() && !m_running.empty() && !m_lookAgain.isActive())
        m_lookAgain.start(qMax<qint64>(50, m_limits.yieldAfter.count() / 4));
    for (const std::function<void()>& tell : started)
        tell();
}

void QuarryArchiveWriters::ended(quint64 id) {
    for (auto it = m_running.begin(); it != m_running.end(); ++it) {
        if (it->id != id)
            continue;
        // The thread has reported its end: joining it takes no time.
        it->thread.join();
        if (--m_runningPerClient[it->client] <= 0)
            m_runningPerClient.remove(it->client);
        m_running.erase(it);
        break;
    }
    startWaiting();
}
