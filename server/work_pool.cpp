#include "server/work_pool.h"

#include <QMutex>
#include <QMutexLocker>
#include <QObject>

#include <memory>

namespace {

// What a job and its response share: the cancellation flag, and the object on the server thread that
// receives the answer, present only while the response is alive.
struct JobState {
    std::atomic_bool cancelled{false};
    QMutex lock;
    QObject* receiver = nullptr;
};

class PooledResponse : public HTTPDeferredResponse {
public:
    PooledResponse(QThreadPool* threads, QuarryWorkPool::Work work, bool endsWhenVisitorLeaves)
        : m_threads(threads)
        , m_work(std::move(work))
        , m_endsWhenVisitorLeaves(endsWhenVisitorLeaves)
        , m_state(std::make_shared<JobState>()) {}

    ~PooledResponse() override {
        m_state->cancelled = true;
        QMutexLocker locker(&m_state->lock);
        // Deleted under the lock, so a job never posts to a receiver that is going away.
        delete m_state->receiver;
        m_state->receiver = nullptr;
    }

    void start(std::function<void(HTTPResponse)> done) override {
        auto* receiver = new QObject;
        {
            QMutexLocker locker(&m_state->lock);
            m_state->receiver = receiver;
        }
        m_done = std::move(done);
        m_threads->start([state = m_state, work = std::move(m_work), this] {
            if (state->cancelled)
                return;
            HTTPResponse response = work(state->cancelled);
            QMutexLocker locker(&state->lock);
            if (!state->receiver)
                return;
            // Runs on the server thread, where the receiver lives; the receiver dies with this response,
            // and with it any answer not delivered yet.
            QMetaObject::invokeMethod(
                state->receiver,
                [this, response = std::move(response)]() mutable { finish(std::move(response)); },
                Qt::QueuedConnection);
        });
    }

    bool endsWhenVisitorLeaves() const override { return m_endsWhenVisitorLeaves; }

private:
    void finish(HTTPResponse response) {
        // Taken out first: done may release this response.
        std::function<void(HTTPResponse)> done = std::move(m_done);
        m_done = nullptr;
        if (done)
            done(std::move(response));
    }

    QThreadPool* m_threads;
    QuarryWorkPool::Work m_work;
    bool m_endsWhenVisitorLeaves;
    std::shared_ptr<JobState> m_state;
    std::function<void(HTTPResponse)> m_done;
};

} // namespace

QuarryWorkPool::QuarryWorkPool(int threads) {
    m_threads.setMaxThreadCount(qMax(1, threads));
    m_threads.setObjectName(QStringLiteral("app.brightloom.share.work"));
}

QuarryWorkPool::~QuarryWorkPool() {
    m_threads.clear();
    m_threads.waitForDone();
}

HTTPResponse QuarryWorkPool::offload(Work work, bool endsWhenVisitorLeaves) {
    return HTTPResponse::later(
        std::make_shared<PooledResponse>(&m_threads, std::move(work), endsWhenVisitorLeaves));
}
