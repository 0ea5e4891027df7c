#pragma once

#include <QHash>
#include <QString>

#include <array>
#include <chrono>
#include <functional>

// A monotonic clock; tests substitute their own.
using QuarryMonotonicClock = std::function<std::chrono::milliseconds()>;

// Limits guessing of share passwords. After 5 failed attempts of one client on one share within
// 10 minutes, that client's further attempts on that share are refused unchecked for a lockout that
// starts at 1 minute and doubles with each further lockout, up to 30 minutes. A success clears the
// client's record for the share; other clients and other shares are not affected.
//
// The records are bounded, so that a flood of made-up clients keeps memory flat: past the capacity the
// records that matter least go first (quiet ones, then the oldest without a lockout). A lockout is never
// dropped before it ends; should the table be full of them, every newcomer shares one record per share
// until room is made, so a flood cannot buy unthrottled guesses.
class QuarryUnlockThrottle {
public:
    static constexpr qsizetype kDefaultCapacity = 10000;
    static constexpr int kFailuresBeforeLockout = 5;
    static constexpr std::chrono::milliseconds kFailureWindow = std::chrono::minutes(10);
    static constexpr std::chrono::milliseconds kFirstLockout = std::chrono::minutes(1);
    static constexpr std::chrono::milliseconds kLongestLockout = std::chrono::minutes(30);

    // The system's steady clock.
    static QuarryMonotonicClock steadyClock();

    explicit QuarryUnlockThrottle(QuarryMonotonicClock clock = steadyClock(),
                                  qsizetype capacity = kDefaultCapacity);

    bool isLockedOut(const QString& client, const QString& share) const;
    void recordFailure(const QString& client, const QString& share);
    void recordSuccess(const QString& client, const QString& share);

    // Number of clients and shares currently remembered (bounded by forgetting quiet ones).
    qsizetype rememberedCount() const { return m_records.size(); }

private:
    struct Record {
        // The failures within the window, oldest first: never more than it takes to lock out.
        std::array<std::chrono::milliseconds, kFailuresBeforeLockout> failures{};
        int failureCount = 0;
        std::chrono::milliseconds lockedUntil{0};
        std::chrono::milliseconds lastFailure{0};
        int lockouts = 0;
    };

    static QString key(const QString& client, const QString& share);
    // The record a failure of the client counts in; the shared one when the table is full of lockouts.
    Record& recordFor(const QString& client, const QString& share, std::chrono::milliseconds now);
    void makeRoom(std::chrono::milliseconds now);

    QuarryMonotonicClock m_clock;
    qsizetype m_capacity;
    QHash<QString, Record> m_records;
    // The table's size at which the next sweep runs.
    qsizetype m_nextSweep;
    // When full of lockouts: the first moment one of them ends and makes room.
    std::chrono::milliseconds m_roomAt{0};
};
