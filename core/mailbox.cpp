#include "core/mailbox.h"

#include <QPointer>

QuarryMailbox::QuarryMailbox(QObject* parent)
    : QObject(parent) {}

QuarryMailbox::~QuarryMailbox() {
    // Dropped outside the lock: a function's captures may post to this mailbox as they go.
    std::deque<std::function<void()>> dropped;
    const std::lock_guard locker(m_lock);
    dropped.swap(m_waiting);
}

void QuarryMailbox::post(std::function<void()> function) {
    const std::lock_guard locker(m_lock);
    m_waiting.push_back(std::move(function));
    if (m_wakeQueued)
        return;
    m_wakeQueued = true;
    // Queued under the lock, which deliver takes before Qt frees the wake-up event on the other thread:
    // so ThreadSanitizer sees that event made before it is freed. deliver never holds this lock while
    // Qt holds its own queue's, so the two locks are always taken in this order.
    QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void QuarryMailbox::deliver() {
    std::deque<std::function<void()>> due;
    {
        const std::lock_guard locker(m_lock);
        due.swap(m_waiting);
        m_wakeQueued = false;
    }
    // A function may delete this mailbox (its owner is done): the rest are then dropped, as they would
    // have been had they not been taken out yet.
    const QPointer<QuarryMailbox> alive(this);
    for (std::function<void()>& function : due) {
        function();
        if (!alive)
            return;
    }
}
