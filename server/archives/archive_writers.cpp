#include "server/archives/archive_writers.h"

#include <atomic>

namespace {

std::atomic_int runningWriterThreads{0};

} // namespace

QuarryArchiveWriters::QuarryArchiveWriters(QObject* parent)
    : QObject(parent)
    , m_mailbox(new QuarryMailbox(this)) {}

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
                                  const std::shared_ptr<QuarryArchiveStream>& stream, Writer writer) {
    m_limits = limits;
    m_waiting.push_back(Waiting{client, stream, std::move(writer)});
    startWaiting();
}

void QuarryArchiveWriters::startWaiting() {
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (static_cast<int>(m_running.size()) >= qMax(1, m_limits.atOnce))
            return;
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
            writer(*stream);
            {
                std::lock_guard lock(m_closingLock);
                if (!m_closing)
                    m_mailbox->post([this, id] { ended(id); });
            }
            --runningWriterThreads;
        });
        it = m_waiting.erase(it);
    }
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
