#include "server/site/unlock_turns.h"

#include <QHash>

#include <algorithm>
#include <deque>

namespace {

class WaitingAttempt;

} // namespace

// The attempts waiting, per share: per network, oldest first, and the networks in the order of their
// next turn.
struct QuarryUnlockTurns::Line {
    struct Share {
        std::deque<QString> rotation;
        QHash<QString, std::deque<WaitingAttempt*>> byNetwork;
        int waiting = 0;
    };

    void enqueue(WaitingAttempt* attempt);
    void remove(WaitingAttempt* attempt);
    // Whether a newcomer from the network may wait, making room when another network holds more places.
    bool makeRoom(const QString& share, const QString& network);
    // Takes the attempt whose turn is next; none when none waits.
    WaitingAttempt* next(const QString& share);

    QHash<QString, Share> shares;
    // Called when an attempt starts waiting.
    std::function<void()> woken;
};

namespace {

class WaitingAttempt : public QuarryHTTPDeferredResponse {
public:
    WaitingAttempt(std::weak_ptr<QuarryUnlockTurns::Line> line, QString shareKey, QString networkKey,
                   QuarryUnlockTurns::Check check, HTTPResponse refused)
        : share(std::move(shareKey))
        , network(std::move(networkKey))
        , m_line(std::move(line))
        , m_check(std::move(check))
        , m_refused(std::move(refused)) {}

    ~WaitingAttempt() override {
        if (const auto line = m_line.lock())
            line->remove(this);
    }

    void start(std::function<void(HTTPResponse)> done) override {
        m_done = std::move(done);
        if (const auto line = m_line.lock())
            line->enqueue(this);
    }

    // A visitor who leaves gives its place to the next.
    bool endsWhenVisitorLeaves() const override { return true; }

    void takeTurn() { answer(m_check()); }
    void refuse() { answer(m_refused); }

    const QString share;
    const QString network;

private:
    void answer(const HTTPResponse& response) {
        std::function<void(HTTPResponse)> done = std::move(m_done);
        m_done = nullptr;
        if (done)
            done(response);
    }

    std::weak_ptr<QuarryUnlockTurns::Line> m_line;
    QuarryUnlockTurns::Check m_check;
    HTTPResponse m_refused;
    std::function<void(HTTPResponse)> m_done;
};

} // namespace

void QuarryUnlockTurns::Line::enqueue(WaitingAttempt* attempt) {
    Share& share = shares[attempt->share];
    std::deque<WaitingAttempt*>& mine = share.byNetwork[attempt->network];
    if (mine.empty())
        share.rotation.push_back(attempt->network);
    mine.push_back(attempt);
    ++share.waiting;
    if (woken)
        woken();
}

void QuarryUnlockTurns::Line::remove(WaitingAttempt* attempt) {
    const auto share = shares.find(attempt->share);
    if (share == shares.end())
        return;
    const auto network = share->byNetwork.find(attempt->network);
    if (network == share->byNetwork.end())
        return;
    const auto found = std::find(network->begin(), network->end(), attempt);
    if (found == network->end())
        return;
    network->erase(found);
    --share->waiting;
    if (network->empty()) {
        share->byNetwork.erase(network);
        share->rotation.erase(std::find(share->rotation.begin(), share->rotation.end(), attempt->network));
    }
    if (share->waiting == 0)
        shares.erase(share);
}

bool QuarryUnlockTurns::Line::makeRoom(const QString& shareKey, const QString& network) {
    const auto share = shares.find(shareKey);
    if (share == shares.end() || share->waiting < kMostWaiting)
        return true;
    const auto mine = share->byNetwork.constFind(network);
    const size_t held = mine == share->byNetwork.cend() ? 0 : mine->size();
    auto most = share->byNetwork.end();
    for (auto it = share->byNetwork.begin(); it != share->byNetwork.end(); ++it) {
        if (most == share->byNetwork.end() || it->size() > most->size())
            most = it;
    }
    if (most == share->byNetwork.end() || most->size() <= held + 1)
        return false;
    WaitingAttempt* evicted = most->back();
    remove(evicted);
    evicted->refuse();
    return true;
}

WaitingAttempt* QuarryUnlockTurns::Line::next(const QString& shareKey) {
    const auto share = shares.find(shareKey);
    if (share == shares.end())
        return nullptr;
    const QString network = share->rotation.front();
    share->rotation.pop_front();
    std::deque<WaitingAttempt*>& mine = share->byNetwork[network];
    WaitingAttempt* attempt = mine.front();
    mine.pop_front();
    --share->waiting;
    if (mine.empty())
        share->byNetwork.remove(network);
    else
        share->rotation.push_back(network);
    if (share->waiting == 0)
        shares.erase(share);
    return attempt;
}

QuarryUnlockTurns::QuarryUnlockTurns(QuarryUnlockThrottle* throttle, QObject* parent)
    : QObject(parent)
    , m_throttle(throttle)
    , m_line(std::make_shared<Line>())
    , m_timer(this) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &QuarryUnlockTurns::serve);
    m_line->woken = [this] {
        if (!m_timer.isActive())
            m_timer.start(0);
    };
}

QuarryUnlockTurns::~QuarryUnlockTurns() {
    m_line->woken = nullptr;
}

HTTPResponse QuarryUnlockTurns::attempt(const QString& share, const QString& network, Check check,
                                        const HTTPResponse& refused) {
    if (!m_line->shares.contains(share) && m_throttle->untilGuess(share).count() == 0)
        return check();
    if (!m_line->makeRoom(share, network))
        return refused;
    return HTTPResponse::later(
        std::make_shared<WaitingAttempt>(m_line, share, network, std::move(check), refused));
}

void QuarryUnlockTurns::serve() {
    std::chrono::milliseconds nextTurn = std::chrono::milliseconds::max();
    for (const QString& share : m_line->shares.keys()) {
        while (m_throttle->untilGuess(share).count() == 0) {
            WaitingAttempt* attempt = m_line->next(share);
            if (!attempt)
                break;
            attempt->takeTurn();
        }
        if (m_line->shares.contains(share))
            nextTurn = std::min(nextTurn, m_throttle->untilGuess(share));
    }
    if (nextTurn != std::chrono::milliseconds::max())
        m_timer.start(std::max(nextTurn, std::chrono::milliseconds(1)));
}
