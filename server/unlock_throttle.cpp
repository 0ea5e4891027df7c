#include "server/unlock_throttle.h"

#include <algorithm>

namespace {

// A record with no failure for this long is forgotten, and with it the doubling of its lockouts.
constexpr std::chrono::milliseconds kForgetAfter = std::chrono::hours(1);
// Forgetting runs when this many records are held, so memory stays bounded under many clients.
constexpr qsizetype kPruneThreshold = 1024;

} // namespace

QuarryMonotonicClock steadyMonotonicClock() {
    return [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    };
}

QuarryUnlockThrottle::QuarryUnlockThrottle(QuarryMonotonicClock clock)
    : m_clock(std::move(clock)) {}

QString QuarryUnlockThrottle::key(const QString& client, const QString& share) {
    return client + QLatin1Char('\n') + share;
}

bool QuarryUnlockThrottle::isLockedOut(const QString& client, const QString& share) const {
    const auto found = m_records.constFind(key(client, share));
    return found != m_records.cend() && m_clock() < found->lockedUntil;
}

void QuarryUnlockThrottle::recordFailure(const QString& client, const QString& share) {
    const std::chrono::milliseconds now = m_clock();
    if (m_records.size() >= kPruneThreshold)
        forgetQuietRecords(now);
    Record& record = m_records[key(client, share)];
    if (now >= record.lockedUntil && now - record.lastFailure >= kForgetAfter)
        record = Record();
    record.lastFailure = now;
    while (!record.failures.empty() && now - record.failures.front() >= kFailureWindow)
        record.failures.pop_front();
    record.failures.push_back(now);
    if (static_cast<int>(record.failures.size()) < kFailuresBeforeLockout)
        return;
    const int doublings = std::min(record.lockouts, 5);
    record.lockedUntil = now + std::min(kFirstLockout * (1 << doublings), kLongestLockout);
    ++record.lockouts;
    record.failures.clear();
}

void QuarryUnlockThrottle::recordSuccess(const QString& client, const QString& share) {
    m_records.remove(key(client, share));
}

void QuarryUnlockThrottle::forgetQuietRecords(std::chrono::milliseconds now) {
    m_records.removeIf([now](const QHash<QString, Record>::iterator& it) {
        return now >= it->lockedUntil && now - it->lastFailure >= kForgetAfter;
    });
}
