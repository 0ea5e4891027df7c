#pragma once

#include <QHash>
#include <QString>

#include <array>
#include <chrono>
#include <functional>

// A monotonic clock; tests substitute their own.
using QuarryMonotonicClock = std::function<std::chrono::milliseconds()>;

// Limits guessing of share passwords, in two ways. A client here is what the caller counts by: a
// network (an IPv6 address's /64, an IPv4 address), since one visitor can rotate through a whole /64.
//
// Per client: after 5 failed attempts of one client on one share within 10 minutes, that client's
// further attempts on that share are refused unchecked for a lockout that starts at 1 minute and
// doubles with each further lockout, up to 30 minutes. A success clears the client's record for the
// share; other clients and other shares are not affected.
//
// Per share: all clients together get a budget of wrong guesses, a burst of 60 and then one a second.
// Once it is spent, checks of that share's passwords wait for a guess to spare (QuarryUnlockTurns), so
// that many clients never add up to many guesses, while a visitor with the right password still gets
// in, only later.
//
// The client records are bounded, so that a flood of made-up clients keeps memory flat: past the
// capacity the records that matter least go first (quiet ones, then the oldest without a lockout). A
// lockout is never dropped before it ends; should the table be full of them, a newcomer gets no record
// of its own: the share's budget still holds it, and nobody ever shares another client's lockout.
class QuarryUnlockThrottle {
public:
    static constexpr qsizetype kDefaultCapacity = 10000;
    static constexpr int kFailuresBeforeLockout = 5;
    static constexpr std::chrono::milliseconds kFailureWindow = std::chrono::minutes(10);
    static constexpr std::chrono::milliseconds kFirstLockout = std::chrono::minutes(1);
    static constexpr std::chrono::milliseconds kLongestLockout = std::chrono::minutes(30);
    // A share's budget of wrong guesses from every client together: this many at once, then one each
    // interval (60 a minute).
    static constexpr int kShareGuesses = 60;
    static constexpr std::chrono::milliseconds kShareGuessInterval = std::chrono::seconds(1);

    // The system's steady clock.
    static QuarryMonotonicClock steadyClock();

    explicit QuarryUnlockThrottle(QuarryMonotonicClock clock = steadyClock(),
                                  qsizetype capacity = kDefaultCapacity);

    bool isLockedOut(const QString& client, const QString& share) const;
    // A wrong guess: counts against the client and against the share's budget.
    void recordFailure(const QString& client, const QString& share);
    void recordSuccess(const QString& client, const QString& share);
    // How long until the share's budget has a guess to spare; zero when it has one now.
    std::chrono::milliseconds untilGuess(const QString& share) const;

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
    // The record a failure of the client counts in; none when the table is full of lockouts.
    Record* recordFor(const QString& client, const QString& share, std::chrono::milliseconds now);
    void makeRoom(std::chrono::milliseconds now);
    void spendShareGuess(const QString& share, std::chrono::milliseconds now);

    QuarryMonotonicClock m_clock;
    qsizetype m_capacity;
    QHash<QString, Record> m_records;
    // The table's size at which the next sweep runs.
    qsizetype m_nextSweep;
    // When full of lockouts: the first moment one of them ends and makes room.
    std::chrono::milliseconds m_roomAt{0};
    // Per share, the moment its budget is whole again; one guess is spent by moving it one interval on.
    QHash<QString, std::chrono::milliseconds> m_shareWholeAt;
};
