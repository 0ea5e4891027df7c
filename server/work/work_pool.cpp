#include "server/work/work_pool.h"

#include "core/mailbox.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

// The threads and the jobs waiting for one. Threads start as jobs need them, up to the bound, and wait
// for the next job until the pool ends. Plain standard threads, mutex and condition variable, so that
// every hand-over is one ThreadSanitizer can see.
struct QuarryWorkThreads {
    explicit QuarryWorkThreads(int bound)
        : maxThreads(bound) {}

    ~QuarryWorkThreads() {
        std::deque<std::function<void()>> dropped;
        {
            const std::lock_guard locker(lock);
            stopping = true;
            dropped.swap(jobs);
        }
        ready.notify_all();
        for (std::thread& thread : threads)
            thread.join();
    }

    void start(std::function<void()> job) {
        {
            const std::lock_guard locker(lock);
            jobs.push_back(std::move(job));
            if (idle == 0 && static_cast<int>(threads.size()) < maxThreads) {
                threads.emplace_back([this] { run(); });
                return;
            }
        }
        ready.notify_one();
    }

    void run() {
        pthread_setname_np(pthread_self(), "brightloom-work");
        std::unique_lock locker(lock);
        for (;;) {
            ++idle;
            ready.wait(locker, [this] { return stopping || !jobs.empty(); });
            --idle;
            if (stopping)
                return;
            std::function<void()> job = std::move(jobs.front());
            jobs.pop_front();
            locker.unlock();
            job();
            job = nullptr; // its captures go before the lock is taken again
            locker.lock();
        }
    }

    const int maxThreads;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> threads;
    int idle = 0;
    bool stopping = false;
};

namespace {

// What a job and its response share: the cancellation flag, and the mailbox on the server thread that
// receives the answer, present only while the response is alive.
struct JobState {
    std::atomic_bool cancelled{false};
    std::mutex lock;
    QuarryMailbox* receiver = nullptr;
};

class PooledResponse : public QuarryHTTPDeferredResponse {
public:
    PooledResponse(QuarryWorkThreads* threads, QuarryWorkPool::Work work, bool endsWhenVisitorLeaves)
        : m_threads(threads)
        , m_work(std::move(work))
        , m_endsWhenVisitorLeaves(endsWhenVisitorLeaves)
        , m_state(std::make_shared<JobState>()) {}

    ~PooledResponse() override {
        m_state->cancelled = true;
        const std::lock_guard locker(m_state->lock);
        // Deleted under the lock, so a job never posts to a receiver that is going away.
        delete m_state->receiver;
        m_state->receiver = nullptr;
    }

    void start(std::function<void(HTTPResponse)> done) override {
        auto* receiver = new QuarryMailbox;
        {
            const std::lock_guard locker(m_state->lock);
            m_state->receiver = receiver;
        }
        m_done = std::move(done);
        m_threads->start([state = m_state, work = std::move(m_work), this] {
            if (state->cancelled)
                return;
            {
                const std::lock_guard locker(state->lock);
                if (!state->receiver)
                    return;
                // The connection stops waiting: its answer is being made.
                state->receiver->post([this] { takeTurn(); });
            }
            HTTPResponse response = work(state->cancelled);
            const std::lock_guard locker(state->lock);
            if (!state->receiver)
                return;
            // Runs on the server thread, where the receiver lives; the receiver dies with this response,
            // and with it any answer not delivered yet.
            state->receiver->post(
                [this, response = std::move(response)]() mutable { finish(std::move(response)); });
        });
    }

    bool endsWhenVisitorLeaves() const override { return m_endsWhenVisitorLeaves; }
    void setTurnTaken(std::function<void()> taken) override { m_taken = std::move(taken); }

private:
    void takeTurn() {
        std::function<void()> taken = std::move(m_taken);
        m_taken = nullptr;
        if (taken)
            taken();
    }

    void finish(HTTPResponse response) {
        // Taken out first: done may release this response.
        std::function<void(HTTPResponse)> done = std::move(m_done);
        m_done = nullptr;
        if (done)
            done(std::move(response));
    }

    QuarryWorkThreads* m_threads;
    QuarryWorkPool::Work m_work;
    bool m_endsWhenVisitorLeaves;
    std::shared_ptr<JobState> m_state;
    std::function<void()> m_taken;
    std::function<void(HTTPResponse)> m_done;
};

} // namespace

QuarryWorkPool::QuarryWorkPool(int threads)
    : m_threads(std::make_unique<QuarryWorkThreads>(qMax(1, threads))) {}

QuarryWorkPool::~QuarryWorkPool() = default;

int QuarryWorkPool::maxThreads() const {
    return m_threads->maxThreads;
}

HTTPResponse QuarryWorkPool::offload(Work work, bool endsWhenVisitorLeaves) {
    return HTTPResponse::later(
        std::make_shared<PooledResponse>(m_threads.get(), std::move(work), endsWhenVisitorLeaves));
}
