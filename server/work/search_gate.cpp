#include "server/work/search_gate.h"

#include "core/mailbox.h"

#include <QHash>
#include <QObject>

#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>

namespace {
class SearchTicket;
// Keys whose last turn is remembered.
constexpr qsizetype kRememberedKeys = 4096;
} // namespace

struct QuarrySearchGateState : std::enable_shared_from_this<QuarrySearchGateState> {
    std::mutex lock;
    int maxRunning = 1;
    int running = 0;
    QHash<QString, int> runningKeys;
    std::deque<SearchTicket*> waiting;
    // The newest search of each key: its flag, which the next one of that key sets, and the number its
    // page gave it, if any.
    struct Newest {
        std::shared_ptr<std::atomic_bool> superseded;
        std::optional<quint64> number;
    };
    QHash<QString, Newest> newest;
    // When each key last had a turn, counted in turns: the key that had one longest ago goes first.
    QHash<QString, quint64> lastTurn;
    quint64 turns = 0;

    void admitWaitingLocked();
    void release(const QString& key);
};

namespace {

// A search's place among the running ones; it gives the place up when the last copy is gone.
class TurnToken {
public:
    TurnToken(std::shared_ptr<QuarrySearchGateState> state, QString key)
        : m_state(std::move(state))
        , m_key(std::move(key)) {}
    ~TurnToken() { m_state->release(m_key); }
    TurnToken(const TurnToken&) = delete;
    TurnToken& operator=(const TurnToken&) = delete;

private:
    std::shared_ptr<QuarrySearchGateState> m_state;
    QString m_key;
};

class SearchTicket : public QuarryHTTPDeferredResponse {
public:
    SearchTicket(std::shared_ptr<QuarrySearchGateState> state, QString key, QuarrySearchGate::Begin begin,
                 std::optional<quint64> number)
        : m_state(std::move(state))
        , m_key(std::move(key))
        , m_begin(std::move(begin))
        , m_number(number) {}

    ~SearchTicket() override {
        QuarrySearchGate::Turn turn; // given up after the lock is released: giving it up takes the lock
        {
            const std::lock_guard locker(m_state->lock);
            auto& waiting = m_state->waiting;
            waiting.erase(std::remove(waiting.begin(), waiting.end(), this), waiting.end());
            const auto newest = m_state->newest.constFind(m_key);
            if (newest != m_state->newest.cend() && newest->superseded == m_superseded)
                m_state->newest.erase(newest);
            // Deleted under the lock, so an admission never posts to a receiver that is going away.
            delete m_receiver;
            m_receiver = nullptr;
            turn = std::move(m_turn);
        }
        // The work it began, if any, is dropped (and so cancelled) before the turn goes.
        m_inner = HTTPResponse();
    }

    void start(std::function<void(HTTPResponse)> done) override {
        m_done = std::move(done);
        m_receiver = new QuarryMailbox;
        const std::lock_guard locker(m_state->lock);
        QuarrySearchGateState::Newest& newest = m_state->newest[m_key];
        // Numbered by the visitor's page in the order they were typed, two searches read in reverse
        // order (two connections promise none) still leave the one typed last: the other stops.
        if (newest.superseded && m_number && newest.number && *m_number < *newest.number) {
            m_superseded->store(true);
        } else {
            if (newest.superseded)
                newest.superseded->store(true);
            newest = {m_superseded, m_number};
        }
        m_state->waiting.push_back(this);
        m_state->admitWaitingLocked();
    }

    bool endsWhenVisitorLeaves() const override { return true; }
    void setTurnTaken(std::function<void()> taken) override { m_taken = std::move(taken); }

    const QString& key() const { return m_key; }
    bool isSuperseded() const { return m_superseded->load(); }

    // Called with the state's lock held; the search begins on the server thread, in a later turn of its
    // event loop.
    void admitLocked(QuarrySearchGate::Turn turn) {
        m_turn = std::move(turn);
        m_receiver->post([this] { begin(); });
    }

private:
    void begin() {
        QuarrySearchGate::Turn turn;
        {
            const std::lock_guard locker(m_state->lock);
            turn = std::move(m_turn);
        }
        m_inner = m_begin(std::move(turn), m_superseded);
        if (!m_inner.deferred) {
            finish(m_inner);
            return;
        }
        // Admitted, the search may still wait for a thread of the pool: its turn comes with the thread.
        m_inner.deferred->setTurnTaken([this] {
            std::function<void()> taken = std::move(m_taken);
            m_taken = nullptr;
            if (taken)
                taken();
        });
        m_inner.deferred->start([this](HTTPResponse response) { finish(std::move(response)); });
    }

    void finish(HTTPResponse response) {
        // Taken out first: done may release this response.
        std::function<void(HTTPResponse)> done = std::move(m_done);
        m_done = nullptr;
        if (done)
            done(std::move(response));
    }

    std::shared_ptr<QuarrySearchGateState> m_state;
    QString m_key;
    QuarrySearchGate::Begin m_begin;
    std::optional<quint64> m_number;
    std::shared_ptr<std::atomic_bool> m_superseded = std::make_shared<std::atomic_bool>(false);
    QuarryMailbox* m_receiver = nullptr;
    QuarrySearchGate::Turn m_turn;
    HTTPResponse m_inner;
    std::function<void()> m_taken;
    std::function<void(HTTPResponse)> m_done;
};

} // namespace

void QuarrySearchGateState::admitWaitingLocked() {
    // A superseded search walks nothing, so it needs no turn: it answers at once.
    for (auto it = waiting.begin(); it != waiting.end();) {
        SearchTicket* ticket = *it;
        if (!ticket->isSuperseded()) {
            ++it;
            continue;
        }
        it = waiting.erase(it);
        ticket->admitLocked(nullptr);
    }
    // Then whoever has searched least lately: many visitors searching back to back each wait behind the
    // others, not a visitor who searches now and then. Among equals, the first to come.
    while (running < maxRunning) {
        auto next = waiting.end();
        quint64 nextTurn = 0;
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            const QString& key = (*it)->key();
            if (runningKeys.contains(key))
                continue;
            const quint64 turn = lastTurn.value(key, 0);
            if (next == waiting.end() || turn < nextTurn) {
                next = it;
                nextTurn = turn;
            }
        }
        if (next == waiting.end())
            return;
        SearchTicket* ticket = *next;
        waiting.erase(next);
        ++running;
        ++runningKeys[ticket->key()];
        // Forgotten all at once now and then, so that many visitors cost no memory: each starts afresh.
        if (lastTurn.size() >= kRememberedKeys)
            lastTurn.clear();
        lastTurn.insert(ticket->key(), ++turns);
        ticket->admitLocked(std::make_shared<const TurnToken>(shared_from_this(), ticket->key()));
    }
}

void QuarrySearchGateState::release(const QString& key) {
    const std::lock_guard locker(lock);
    --running;
    if (--runningKeys[key] <= 0)
        runningKeys.remove(key);
    admitWaitingLocked();
}

QuarrySearchGate::QuarrySearchGate(int maxRunning)
    : m_state(std::make_shared<QuarrySearchGateState>()) {
    m_state->maxRunning = qMax(1, maxRunning);
}

QuarrySearchGate::~QuarrySearchGate() = default;

HTTPResponse QuarrySearchGate::admit(const QString& key, Begin begin, std::optional<quint64> number) {
    return HTTPResponse::later(std::make_shared<SearchTicket>(m_state, key, std::move(begin), number));
}
