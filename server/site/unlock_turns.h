#pragma once

#include "server/http/http_response.h"
#include "server/site/unlock_throttle.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

// Unlock attempts of a share whose budget of wrong guesses is spent wait here for their turn: answers
// are slowed, not refused, so guesses from many clients together stay within the budget while a visitor
// with the right password still gets in, later. A turn comes each time the budget has a guess to spare
// and goes to the networks waiting in rotation (the caller says what a network is), so that a flood from
// one network never holds up another. The waiting is bounded: at most kMostWaiting attempts of a share
// wait at once (a turn a second, so about as many seconds at worst). A newcomer finding them all taken
// is answered at once as refused, unchecked, unless one network holds more places than the newcomer's
// would: then that network's newest attempt is refused to make room, so no network keeps others out by
// numbers. An attempt whose visitor leaves gives up its place. Threads: server thread only.
class QuarryUnlockTurns : public QObject {
    Q_OBJECT
public:
    static constexpr int kMostWaiting = 16;

    // Checks the password (and the lockout, which may have begun meanwhile) and makes the answer.
    using Check = std::function<HTTPResponse()>;

    explicit QuarryUnlockTurns(QuarryUnlockThrottle* throttle, QObject* parent = nullptr);
    ~QuarryUnlockTurns() override;

    // check() now, when the share's budget has a guess to spare and no attempt of it waits; otherwise an
    // answer that waits for its turn and then gives check(); `refused` when there is no room to wait.
    HTTPResponse attempt(const QString& share, const QString& network, Check check,
                         const HTTPResponse& refused);

    struct Line;

private:
    void serve();

    QuarryUnlockThrottle* m_throttle;
    // Shared with the waiting answers, which connections may hold after this object is gone.
    std::shared_ptr<Line> m_line;
    QTimer m_timer;
};
