#include "server/http/connection_slots.h"

#include "core/diagnostics.h"
#include "server/http/client_address.h"
#include "server/http/connection.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Connections taken in one turn of the event loop, so a flood of them never starves the others.
constexpr int kAcceptsPerTurn = 64;
// Bounds on the ceiling: enough for a family's phones, few enough that each may hold a file or two.
constexpr long kFewestSlots = 16;
constexpr long kMostSlots = 8192;

bool isLoopback(const QHostAddress& address) {
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return (isIPv4 ? QHostAddress(ipv4) : address).isLoopback();
}

} // namespace

QuarryConnectionSlots::QuarryConnectionSlots(Opener opener, QObject* parent)
    : QObject(parent)
    , m_opener(std::move(opener))
    , m_pause(this) {
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, [this] {
        if (m_notifier)
            m_notifier->setEnabled(true);
        acceptPending();
    });
}

// The connections are not ours to delete; Qt ends their calls into this object with it.
QuarryConnectionSlots::~QuarryConnectionSlots() = default;

int QuarryConnectionSlots::ceilingFor(long descriptorLimit) {
    // A quarter of the limit: a connection may hold its socket, a file and a folder or two while the
    // rest of the process keeps its own.
    return static_cast<int>(qBound(kFewestSlots, descriptorLimit / 4, kMostSlots));
}

void QuarryConnectionSlots::watch(int listener, const QuarrySlotLimits& limits, long descriptorLimit) {
    stop();
    m_limits = limits;
    if (!m_limits.speaksForMany)
        m_limits.speaksForMany = isLoopback;
    m_ceiling = m_limits.maxConnections > 0 ? m_limits.maxConnections : ceilingFor(descriptorLimit);
    m_maxQueued = m_limits.maxQueued > 0 ? m_limits.maxQueued : qMax(1, m_ceiling / 2);
    m_notifier = new QSocketNotifier(listener, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuarryConnectionSlots::acceptPending);
}

void QuarryConnectionSlots::stop() {
    m_pause.stop();
    delete m_notifier;
    m_notifier = nullptr;
}

void QuarryConnectionSlots::acceptPending() {
    if (!m_notifier || !m_notifier->isEnabled())
        return;
    const int listener = static_cast<int>(m_notifier->socket());
    for (int taken = 0; taken < kAcceptsPerTurn;) {
        if (held() >= m_ceiling && !closeOldestWaiting(nullptr)) {
            rest();
            return;
        }
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        const int descriptor =
            ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            ++taken;
            admit(descriptor, QHostAddress(reinterpret_cast<const sockaddr*>(&address)));
            continue;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            // The visitor left before it was taken; the next one may be waiting.
            ++taken;
            continue;
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
            return;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            // Out of descriptors below the ceiling (files and archives hold some too): make room.
            if (closeOldestWaiting(nullptr)) {
                ++taken;
                continue;
            }
            rest();
            return;
        default:
            logDiagnostic(QStringLiteral("Could not accept a connection: ") +
                          QString::fromLocal8Bit(std::strerror(errno)));
            rest();
            return;
        }
    }
    // More may be waiting: the listener is still readable, so the next turn comes back here.
}

void QuarryConnectionSlots::admit(int descriptor, const QHostAddress& peer) {
    const bool counted = !m_limits.speaksForMany(peer);
    const QString name = QuarryHTTP::canonicalAddress(peer);
    if (counted && m_peers.value(name).held >= m_ceiling / 2 && !closeOldestWaiting(&name)) {
        // Its half is all busy with answers: this one waits for none of them.
        ::close(descriptor);
        return;
    }
    QuarryHTTPConnection* connection = m_opener(descriptor, peer);
    const quint64 order = m_nextOrder++;
    m_slots.insert(connection, Slot{connection, name, counted, order, true, false, QString()});
    m_waiting.emplace(order, connection);
    if (counted) {
        Peer& entry = m_peers[name];
        ++entry.held;
        entry.waiting.emplace(order, connection);
    }
    connect(connection, &QuarryHTTPConnection::requestArrived, this,
            [this, connection] { requestArrived(connection); });
    connect(connection, &QuarryHTTPConnection::queued, this, [this, connection] { queue(connection); });
    connect(connection, &QuarryHTTPConnection::leftQueue, this,
            [this, connection] { leaveQueue(connection); });
    // Its slot is free once its socket is: connections answered within one turn of accepting are deleted
    // only after it, and must not fill the table meanwhile.
    connect(connection, &QuarryHTTPConnection::closed, this, [this, connection] { release(connection); });
    connect(connection, &QObject::destroyed, this, &QuarryConnectionSlots::release);
    connection->readWaiting();
}

bool QuarryConnectionSlots::closeOldestWaiting(const QString* peer) {
    std::map<quint64, QObject*>* waiting = &m_waiting;
    if (peer) {
        const auto found = m_peers.find(*peer);
        if (found == m_peers.end())
            return false;
        waiting = &found->waiting;
    }
    if (waiting->empty())
        return false;
    QObject* oldest = waiting->begin()->second;
    const auto slot = m_slots.constFind(oldest);
    QuarryHTTPConnection* connection = slot->connection;
    // Released first: its later destruction finds nothing of it here.
    release(oldest);
    connection->abandon();
    return true;
}

void QuarryConnectionSlots::requestArrived(QObject* connection) {
    const auto slot = m_slots.find(connection);
    if (slot != m_slots.end())
        stopWaiting(*slot);
}

void QuarryConnectionSlots::stopWaiting(Slot& slot) {
    if (!slot.waiting)
        return;
    slot.waiting = false;
    m_waiting.erase(slot.order);
    if (slot.counted)
        m_peers[slot.peer].waiting.erase(slot.order);
}

void QuarryConnectionSlots::queue(QuarryHTTPConnection* connection) {
    const auto slot = m_slots.find(connection);
    if (slot == m_slots.end())
        return;
    // Loopback stands for every visitor of the public link: its work is counted per visitor instead.
    const QString client = connection->client().network();
    if (m_queued >= m_maxQueued || m_queuedPerClient.value(client) >= qMax(1, m_limits.maxQueuedPerClient)) {
        connection->answerBusy();
        return;
    }
    slot->queued = true;
    slot->queuedBy = client;
    ++m_queuedPerClient[client];
    ++m_queued;
    // Waiting again, from now on: the longest waiting goes first when room is needed.
    slot->waiting = true;
    slot->order = m_nextOrder++;
    m_waiting.emplace(slot->order, connection);
    if (slot->counted)
        m_peers[slot->peer].waiting.emplace(slot->order, connection);
}

void QuarryConnectionSlots::leaveQueue(QObject* connection) {
    const auto slot = m_slots.find(connection);
    if (slot == m_slots.end() || !slot->queued)
        return;
    stopWaiting(*slot);
    if (--m_queuedPerClient[slot->queuedBy] <= 0)
        m_queuedPerClient.remove(slot->queuedBy);
    --m_queued;
    slot->queued = false;
    slot->queuedBy = QString();
}

void QuarryConnectionSlots::release(QObject* connection) {
    leaveQueue(connection);
    const auto slot = m_slots.constFind(connection);
    if (slot == m_slots.cend())
        return;
    m_waiting.erase(slot->order);
    if (slot->counted) {
        const auto peer = m_peers.find(slot->peer);
        peer->waiting.erase(slot->order);
        if (--peer->held == 0)
            m_peers.erase(peer);
    }
    m_slots.erase(slot);
    // A slot came free while accepting rested: no need to wait out the pause.
    if (m_pause.isActive() && held() < m_ceiling) {
        m_pause.stop();
        if (m_notifier)
            m_notifier->setEnabled(true);
    }
}

void QuarryConnectionSlots::rest() {
    if (m_notifier)
        m_notifier->setEnabled(false);
    m_pause.start(m_limits.acceptPause);
}
