#include "server/site/unlock_throttle.h"

#include <algorithm>
#include <vector>

namespace {

// A record with no failure for this long is forgotten, and with it the doubling of its lockouts.
constexpr std::chrono::milliseconds kForgetAfter = std::chrono::hours(1);
// Forgetting runs when this many records are held, so memory stays bounded under many clients.
constexpr qsizetype kPruneThreshold = 1024;
// The client that newcomers share while every record holds a lockout: no address spells it.
const QString kOverflowClient = QStringLiteral("(everyone else)");

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
    const std::chrono::milliseconds now = m_clock();
    auto found = m_records.constFind(key(client, share));
    if (found == m_records.cend() && m_records.size() >= m_capacity)
        found = m_records.constFind(key(kOverflowClient, share));
    return found != m_records.cend() && now < found->lockedUntil;
}

void QuarryUnlockThrottle::recordFailure(const QString& client, const QString& share) {
    const std::chrono::milliseconds now = m_clock();
    Record& record = recordFor(client, share, now);
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

QuarryUnlockThrottle::Record& QuarryUnlockThrottle::recordFor(const QString& client, const QString& share,
                                                              std::chrono::milliseconds now) {
    const QString wanted = key(client, share);
    const auto found = m_records.find(wanted);
    if (found != m_records.end())
        return *found;
    // Sweeps cost the whole table, so they come further apart as it grows, and not at all while it is
    // full of lockouts that have yet to end.
    if (m_records.size() >= m_nextSweep && (m_records.size() < m_capacity || now >= m_roomAt)) {
        makeRoom(now);
        m_nextSweep =
            std::min(m_capacity, std::max(kPruneThreshold, m_records.size() + m_records.size() / 2));
    }
    if (m_records.size() >= m_capacity)
        return m_records[key(kOverflowClient, share)];
    return m_records[wanted];
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
    // The newcomers' shared record is kept: dropping it would hand them fresh guesses.
    const QString shared = key(kOverflowClient, QString());
    const auto droppable = [&](const QHash<QString, Record>::const_iterator& it) {
        return now >= it->lockedUntil && !it.key().startsWith(shared);
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
