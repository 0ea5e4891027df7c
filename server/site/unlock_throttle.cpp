#include "server/site/unlock_throttle.h"

#include <algorithm>
#include <vector>

namespace {

// A record with no failure for this long is forgotten, and with it the doubling of its lockouts.
constexpr std::chrono::milliseconds kForgetAfter = std::chrono::hours(1);
// Forgetting runs when this many records are held, so memory stays bounded under many clients.
constexpr qsizetype kPruneThreshold = 1024;
// Shares whose budget is whole are forgotten past this many, so removed shares leave nothing behind.
constexpr qsizetype kMostShareBudgets = 256;

} // namespace

QuarryMonotonicClock QuarryUnlockThrottle::steadyClock() {
    return [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    };
}

QuarryUnlockThrottle::QuarryUnlockThrottle(QuarryMonotonicClock clock, qsizetype capacity)
    : m_clock(std::move(clock))
    , m_capacity(std::max<qsizetype>(capacity, 1))
    , m_nextSweep(std::min(kPruneThreshold, m_capacity)) {}

QString QuarryUnlockThrottle::key(const QString& client, const QString& share) {
    return client + QLatin1Char('\n') + share;
}

bool QuarryUnlockThrottle::isLockedOut(const QString& client, const QString& share) const {
    const auto found = m_records.constFind(key(client, share));
    return found != m_records.cend() && m_clock() < found->lockedUntil;
}

void QuarryUnlockThrottle::recordFailure(const QString& client, const QString& share) {
    const std::chrono::milliseconds now = m_clock();
    spendShareGuess(share, now);
    Record* found = recordFor(client, share, now);
    if (!found)
        return;
    Record& record = *found;
    if (now >= record.lockedUntil && now - record.lastFailure >= kForgetAfter)
        record = Record();
    record.lastFailure = now;
    int kept = 0;
    for (int i = 0; i < record.failureCount; ++i) {
        if (now - record.failures[static_cast<size_t>(i)] < kFailureWindow)
            record.failures[static_cast<size_t>(kept++)] = record.failures[static_cast<size_t>(i)];
    }
    record.failureCount = kept;
    record.failures[static_cast<size_t>(record.failureCount++)] = now;
    if (record.failureCount < kFailuresBeforeLockout)
        return;
    const int doublings = std::min(record.lockouts, 5);
    record.lockedUntil = now + std::min(kFirstLockout * (1 << doublings), kLongestLockout);
    ++record.lockouts;
    record.failureCount = 0;
}

void QuarryUnlockThrottle::recordSuccess(const QString& client, const QString& share) {
    m_records.remove(key(client, share));
}

std::chrono::milliseconds QuarryUnlockThrottle::untilGuess(const QString& share) const {
    const auto found = m_shareWholeAt.constFind(share);
    if (found == m_shareWholeAt.cend())
        return std::chrono::milliseconds(0);
    // A guess is to spare while the budget is short of whole by less than all of it.
    const std::chrono::milliseconds spent = *found - m_clock();
    return std::max(std::chrono::milliseconds(0), spent - kShareGuessInterval * (kShareGuesses - 1));
}

void QuarryUnlockThrottle::spendShareGuess(const QString& share, std::chrono::milliseconds now) {
    if (m_shareWholeAt.size() >= kMostShareBudgets && !m_shareWholeAt.contains(share))
        m_shareWholeAt.removeIf([now](const QHash<QString, std::chrono::milliseconds>::iterator& it) {
            return it.value() <= now;
        });
    std::chrono::milliseconds& wholeAt = m_shareWholeAt[share];
    wholeAt = std::max(wholeAt, now) + kShareGuessInterval;
}

QuarryUnlockThrottle::Record* QuarryUnlockThrottle::recordFor(const QString& client, const QString& share,
                                                              std::chrono::milliseconds now) {
    const QString wanted = key(client, share);
    const auto found = m_records.find(wanted);
    if (found != m_records.end())
        return &*found;
    // Sweeps cost the whole table, so they come further apart as it grows, and not at all while it is
    // full of lockouts that have yet to end.
    if (m_records.size() >= m_nextSweep && (m_records.size() < m_capacity || now >= m_roomAt)) {
        makeRoom(now);
        m_nextSweep =
            std::min(m_capacity, std::max(kPruneThreshold, m_records.size() + m_records.size() / 2));
    }
    if (m_records.size() >= m_capacity)
        return nullptr;
    return &m_records[wanted];
}

void QuarryUnlockThrottle::makeRoom(std::chrono::milliseconds now) {
    m_roomAt = std::chrono::milliseconds(0);
    m_records.removeIf([now](const QHash<QString, Record>::iterator& it) {
        return now >= it->lockedUntil && now - it->lastFailure >= kForgetAfter;
    });
    if (m_records.size() < m_capacity)
        return;
    // Full of recent records: the oldest tenth of those without a lockout goes, so that this sweep runs
    // once per many newcomers rather than once each.
    const auto droppable = [&](const QHash<QString, Record>::const_iterator& it) {
        return now >= it->lockedUntil;
    };
    std::vector<std::chrono::milliseconds> unlocked;
    std::chrono::milliseconds firstEnd = std::chrono::milliseconds::max();
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it) {
        if (droppable(it))
            unlocked.push_back(it->lastFailure);
        else if (now < it->lockedUntil)
            firstEnd = std::min(firstEnd, it->lockedUntil);
    }
    m_roomAt = unlocked.empty() ? firstEnd : std::chrono::milliseconds(0);
    if (unlocked.empty())
        return;
    const size_t dropping =
        std::min(unlocked.size(), static_cast<size_t>(std::max<qsizetype>(m_capacity / 10, 1)));
    std::nth_element(unlocked.begin(), unlocked.begin() + static_cast<std::ptrdiff_t>(dropping - 1),
                     unlocked.end());
    const std::chrono::milliseconds newestDropped = unlocked[dropping - 1];
    size_t dropped = 0;
    m_records.removeIf([&](const QHash<QString, Record>::iterator& it) {
        if (dropped >= dropping || !droppable(it) || it->lastFailure > newestDropped)
            return false;
        ++dropped;
        return true;
    });
}
