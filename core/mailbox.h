#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

// Runs functions on the thread this object lives on, in its event loop and in the order they were
// posted, whichever thread posts them. Functions not run yet when it is deleted are dropped with it.
// The functions pass through a std::mutex and the queued call that wakes the mailbox carries nothing:
// a functor handed to QMetaObject::invokeMethod crosses threads through Qt's own event queue, whose
// lock ThreadSanitizer cannot see, so every such hand-over would read as a race and hide real ones.
// Threads: post from any thread while the mailbox lives; it runs the functions and dies on its own.
class QuarryMailbox : public QObject {
    Q_OBJECT
public:
    explicit QuarryMailbox(QObject* parent = nullptr);
    ~QuarryMailbox() override;

    void post(std::function<void()> function);

private:
    Q_INVOKABLE void deliver();

    std::mutex m_lock;
    std::deque<std::function<void()>> m_waiting;
    // One wake-up call at a time is enough: it delivers everything posted until then.
    bool m_wakeQueued = false;
};
