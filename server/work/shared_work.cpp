#include "server/work/shared_work.h"

#include <QHash>

#include <algorithm>
#include <deque>
#include <vector>

namespace {
class SharedTicket;
}

// One piece of work and everyone waiting for its answer.
struct SharedJob {
    QString key;
    QString client;
    QuarryWorkPool::Work work;
    // Handed to the pool, whose thread the first asker waits for.
    bool running = false;
    // The pool's response while it runs; dropping it cancels the work.
    HTTPResponse inner;
    std::vector<SharedTicket*> askers;
};

struct QuarrySharedWorkState {
    // None once the owner is gone: nothing starts any more.
    QuarryWorkPool* pool = nullptr;
    int perClient = 1;
    QHash<QString, std::shared_ptr<SharedJob>> jobs;
    std::deque<std::shared_ptr<SharedJob>> waiting;
    QHash<QString, int> runningPerClient;

    std::shared_ptr<SharedJob> join(SharedTicket* ticket, const QString& key, const QString& client,
                                    QuarryWorkPool::Work work);
    void leave(SharedTicket* ticket, const std::shared_ptr<SharedJob>& job);
    void drop(const std::shared_ptr<SharedJob>& job);
    void startWaiting();
    void run(const std::shared_ptr<SharedJob>& job);
    void finished(SharedJob* job, HTTPResponse response);
};

namespace {

class SharedTicket : public QuarryHTTPDeferredResponse {
public:
    SharedTicket(std::shared_ptr<QuarrySharedWorkState> state, QString key, QString client,
                 QuarryWorkPool::Work work)
        : m_state(std::move(state))
        , m_key(std::move(key))
        , m_client(std::move(client))
        , m_work(std::move(work)) {}

    ~SharedTicket() override {
        if (m_job)
            m_state->leave(this, m_job);
    }

    void start(std::function<void(HTTPResponse)> done) override {
        m_done = std::move(done);
        m_job = m_state->join(this, m_key, m_client, std::move(m_work));
    }

    bool endsWhenVisitorLeaves() const override { return true; }
    void setTurnTaken(std::function<void()> taken) override { m_taken = std::move(taken); }

    void takeTurn() {
        std::function<void()> taken = std::move(m_taken);
        m_taken = nullptr;
        if (taken)
            taken();
    }

    void answer(const HTTPResponse& response) {
        m_job.reset();
        // Taken out first: done may release this response.
        std::function<void(HTTPResponse)> done = std::move(m_done);
        m_done = nullptr;
        if (done)
            done(response);
    }

private:
    std::shared_ptr<QuarrySharedWorkState> m_state;
    QString m_key;
    QString m_client;
    QuarryWorkPool::Work m_work;
    std::shared_ptr<SharedJob> m_job;
    std::function<void()> m_taken;
    std::function<void(HTTPResponse)> m_done;
};

} // namespace

std::shared_ptr<SharedJob> QuarrySharedWorkState::join(SharedTicket* ticket, const QString& key,
                                                       const QString& client, QuarryWorkPool::Work work) {
    if (const auto found = jobs.constFind(key); found != jobs.cend()) {
        const std::shared_ptr<SharedJob> job = *found;
        job->askers.push_back(ticket);
        // Work under way already: this asker rides on another's turn and waits for nothing of its own.
        if (job->running)
            ticket->takeTurn();
        return job;
    }
    auto job = std::make_shared<SharedJob>();
    job->key = key;
    job->client = client;
    job->work = std::move(work);
    job->askers.push_back(ticket);
    if (!pool)
        return job;
    jobs.insert(key, job);
    waiting.push_back(job);
    startWaiting();
    return job;
}

void QuarrySharedWorkState::leave(SharedTicket* ticket, const std::shared_ptr<SharedJob>& job) {
    auto& askers = job->askers;
    askers.erase(std::remove(askers.begin(), askers.end(), ticket), askers.end());
    if (!askers.empty())
        return;
    // Nobody waits for it any more: not worth doing, or finishing.
    drop(job);
    job->inner = HTTPResponse();
    startWaiting();
}

void QuarrySharedWorkState::drop(const std::shared_ptr<SharedJob>& job) {
    if (const auto found = jobs.constFind(job->key); found != jobs.cend() && *found == job)
        jobs.erase(found);
    waiting.erase(std::remove(waiting.begin(), waiting.end(), job), waiting.end());
    if (job->running) {
        job->running = false;
        if (--runningPerClient[job->client] <= 0)
            runningPerClient.remove(job->client);
    }
}

void QuarrySharedWorkState::startWaiting() {
    if (!pool)
        return;
    for (auto it = waiting.begin(); it != waiting.end();) {
        if (runningPerClient.value((*it)->client) >= perClient) {
            ++it;
            continue;
        }
        const std::shared_ptr<SharedJob> job = *it;
        it = waiting.erase(it);
        // Only hands the work to the pool: nothing here changes meanwhile.
        run(job);
    }
}

void QuarrySharedWorkState::run(const std::shared_ptr<SharedJob>& job) {
    job->running = true;
    ++runningPerClient[job->client];
    job->inner = pool->offload(job->work);
    SharedJob* running = job.get();
    // The pool's response lives in the job, so these are never called once the job is dropped.
    job->inner.deferred->setTurnTaken([running] {
        // Copied: an asker told of its turn may leave at once.
        const std::vector<SharedTicket*> askers = running->askers;
        for (SharedTicket* asker : askers)
            asker->takeTurn();
    });
    job->inner.deferred->start(
        [this, running](HTTPResponse response) { finished(running, std::move(response)); });
}

void QuarrySharedWorkState::finished(SharedJob* running, HTTPResponse response) {
    const auto found = jobs.constFind(running->key);
    if (found == jobs.cend() || found->get() != running)
        return;
    // Kept until every asker has its answer; later requests start afresh.
    const std::shared_ptr<SharedJob> job = *found;
    drop(job);
    const std::vector<SharedTicket*> askers = std::move(job->askers);
    job->askers.clear();
    for (SharedTicket* asker : askers)
        asker->answer(response);
    startWaiting();
}

QuarrySharedWork::QuarrySharedWork(QuarryWorkPool* pool, int perClient)
    : m_state(std::make_shared<QuarrySharedWorkState>()) {
    m_state->pool = pool;
    m_state->perClient = qMax(1, perClient);
}

QuarrySharedWork::~QuarrySharedWork() {
    // Responses still held by connections answer nothing more; the work they stood for is cancelled.
    m_state->pool = nullptr;
    const QList<std::shared_ptr<SharedJob>> jobs = m_state->jobs.values();
    m_state->jobs.clear();
    m_state->waiting.clear();
    for (const std::shared_ptr<SharedJob>& job : jobs)
        job->inner = HTTPResponse();
}

HTTPResponse QuarrySharedWork::offload(const QString& key, const QString& client, QuarryWorkPool::Work work) {
    return HTTPResponse::later(std::make_shared<SharedTicket>(m_state, key, client, std::move(work)));
}
