#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>

// A monotonic clock; tests substitute their own.
using QuarryMonotonicClock = std::function<std::chrono::milliseconds()>;
QuarryMonotonicClock steadyMonotonicClock();

// Limits guessing of share passwords. After 5 failed attempts of one client on one share within
// 10 minutes, that client's further attempts on that share are refused unchecked for a lockout that
// starts at 1 minute and doubles with each further lockout, up to 30 minutes. A success clears the
// client's record for the share; other clients and other shares are not affected.
class QuarryUnlockThrottle {
public:
    static constexpr int kFailuresBeforeLockout = 5;
    static constexpr std::chrono::milliseconds kFailureWindow = std::chrono::minutes(10);
    static constexpr std::chrono::milliseconds kFirstLockout = std::chrono::minutes(1);
    static constexpr std::chrono::milliseconds kLongestLockout = std::chrono::minutes(30);

    explicit QuarryUnlockThrottle(QuarryMonotonicClock clock = steadyMonotonicClock());

    bool isLockedOut(const QString& client, const QString& share) const;
    void recordFailure(const QString& client, const QString& share);
    void recordSuccess(const QString& client, const QString& share);

    // Number of clients and shares currently remembered (bounded by forgetting quiet ones).
    qsizetype rememberedCount() const { return m_records.size(); }

private:
    struct Record {
        std::deque<std::chrono::milliseconds> failures;
        std::chrono::milliseconds lockedUntil{0};
        std::chrono::milliseconds lastFailure{0};
        int lockouts = 0;
    };

    static QString key(const QString& client, const QString& share);
    void forgetQuietRecords(std::chrono::milliseconds now);

    QuarryMonotonicClock m_clock;
    QHash<QString, Record> m_records;
};
