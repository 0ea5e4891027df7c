#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>

class QuarryHTTPConnection;

// How many connections the server holds, and how they are shared.
struct QuarrySlotLimits {
    // Connections held at once; 0 sizes it from the open-descriptor limit when listening starts, with
    // room left for the files, folders and pipes that answers open.
    int maxConnections = 0;
    // Peers that stand for many clients and so are not held to one client's share of the slots: by
    // default loopback, where every visitor of the public link arrives from the tunnel.
    std::function<bool(const QHostAddress&)> speaksForMany;
    // How long accepting rests when every slot is busy sending and none can be freed.
    std::chrono::milliseconds acceptPause = std::chrono::milliseconds(100);
    // Requests whose work waits for its turn, of one client (counted by its network, the public link's
    // visitors by their own address) and in all; past either, a request is answered busy at once. 0 for
    // the total: half the ceiling, so that waiting never fills the table.
    int maxQueuedPerClient = 128;
    int maxQueued = 0;
};

// Accepts connections from the listening socket and keeps their count within bounds. A connection waits
// while its request is not whole, and again while the request's work waits for its turn. When every
// slot is taken (or the system has no descriptor left), the connection that has waited longest is closed
// to make room (one whose work waits is told the server is busy); when there is none, accepting rests for
// a moment instead of spinning on a socket that stays readable. One peer holds at most half the slots:
// past that its own oldest waiting connection goes, never another client's. Work waiting for its turn is
// bounded per client and in all. Threads: server thread only.
class QuarryConnectionSlots : public QObject {
    Q_OBJECT
public:
    // Makes the connection for an accepted socket, which it owns from then on.
    using Opener = std::function<QuarryHTTPConnection*(int descriptor, const QHostAddress& peer)>;

    QuarryConnectionSlots(Opener opener, QObject* parent = nullptr);
    ~QuarryConnectionSlots() override;

    // Starts accepting from a listening socket (non-blocking), with these limits; the descriptor stays
    // the caller's. Replaces any earlier one.
    void watch(int listener, const QuarrySlotLimits& limits, long descriptorLimit);
    // Stops accepting; connections already held go on.
    void stop();

    // The ceiling for an open-descriptor limit.
    static int ceilingFor(long descriptorLimit);
    int ceiling() const { return m_ceiling; }
    int held() const { return static_cast<int>(m_slots.size()); }
    // Requests whose work waits for its turn.
    int queued() const { return m_queued; }

private:
    struct Slot {
        QuarryHTTPConnection* connection = nullptr;
        QString peer;
        bool counted = false; // held to the per-peer share
        quint64 order = 0;
        bool waiting = true; // no whole request yet, or its work waits for its turn
        bool queued = false; // its work waits for its turn
        QString queuedBy;    // the client whose queued work it counts as
    };
    struct Peer {
        int held = 0;
        std::map<quint64, QObject*> waiting;
    };

    void acceptPending();
    void admit(int descriptor, const QHostAddress& peer);
    // Closes the oldest waiting connection, of one peer or of anyone; false when there is none.
    bool closeOldestWaiting(const QString* peer);
    void requestArrived(QObject* connection);
    void queue(QuarryHTTPConnection* connection);
    void leaveQueue(QObject* connection);
    void stopWaiting(Slot& slot);
    void release(QObject* connection);
    void rest();

    Opener m_opener;
    QuarrySlotLimits m_limits;
    int m_ceiling = 0;
    QSocketNotifier* m_notifier = nullptr;
    // A child, so that it moves to the server thread with this object.
    QTimer m_pause;
    quint64 m_nextOrder = 0;
    QHash<QObject*, Slot> m_slots;
    std::map<quint64, QObject*> m_waiting; // every waiting connection, oldest first
    QHash<QString, Peer> m_peers;
    int m_maxQueued = 0;
    int m_queued = 0;
    QHash<QString, int> m_queuedPerClient;
};
