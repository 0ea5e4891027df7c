#pragma once

#include "core/error.h"
#include "core/mailbox.h"
#include "server/archives/archive_writers.h"
#include "server/files/name_walk.h"
#include "server/http/connection.h"
#include "server/http/connection_slots.h"
#include "server/site/activity.h"
#include "server/site/server_snapshot.h"
#include "server/site/unlock_throttle.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <QUuid>

#include <condition_variable>
#include <functional>
#include <mutex>

class QuarryServerCore;

// The application's HTTP/1.1 server. It listens on one port on all interfaces, on a thread of its own
// whose event loop runs every connection, request and write; it serves from the snapshot it was given.
// Threads: constructed, started, stopped and updated from the main thread; the listener and every
// connection live on the server thread (QuarryServerCore); the lock guards the token and the snapshot.
class QuarryShareWebServer : public QObject {
    Q_OBJECT
public:
    struct State {
        enum class Kind { running, failed, stopped };
        Kind kind = Kind::stopped;
        int port = 0;    // running: the port passed to start
        QString message; // failed: the system's description
        static State running(int port);
        static State failed(const QString& message);
        static State stopped();
        bool operator==(const State&) const = default;
    };
    using StateHandler = std::function<void(const State&)>;
    // Called with a host name the server refused to answer (each name once while the server lives).
    using RefusedHostNameHandler = std::function<void(const QString& name)>;
    // Told of every answer that hands out a share's content, and of unlock attempts (see
    // QuarryActivityEvent): while a long answer is sent and once it ends.
    using ActivityHandler = std::function<void(const QuarryActivityEvent&)>;

    // Seams for tests and tools; the defaults are what the application uses.
    struct Options {
        QuarryMonotonicClock clock = QuarryUnlockThrottle::steadyClock();
        QuarryArchiveLimits archiveLimits;
        QuarryConnectionLimits limits;
        QuarrySlotLimits connections;
        QuarrySearchLimits search;
    };

    explicit QuarryShareWebServer(QObject* parent = nullptr);
    ~QuarryShareWebServer() override;

    // Replaces any listener with a new one on the port. Returns at once; the outcome (running or failed)
    // arrives through the state handler once control is back in this object's event loop. A port
    // outside 0 to 65535 fails here, with the new snapshot stored all the same.
    QuarryResult<void> start(int port, const QuarryShareServerSnapshot& snapshot);
    // Stops listening and reports stopped, on the calling thread.
    void stop();
    void update(const QuarryShareServerSnapshot& snapshot);
    // Called on the server thread for running and failed, and by stop() on its caller's thread.
    void setStateHandler(StateHandler handler);
    // Called on the server thread.
    void setRefusedHostNameHandler(RefusedHostNameHandler handler);
    // Called on the server thread; it must only hand the event on. None (the default): nothing is recorded.
    void setActivityHandler(ActivityHandler handler);
    QuarryShareServerSnapshot currentSnapshot() const;

    // The port actually listened on (useful after start with port 0); 0 while not listening.
    int listeningPort() const;
    // Read as they are needed: the clock at each unlock attempt, the connection limits for each new
    // connection, the archive and search limits for each request; the slot limits (connections) when
    // listening starts.
    void setOptions(const Options& options);
    Options options() const;

private:
    friend class QuarryServerCore;

    void stopListening(bool notify);
    bool isCurrentListener(const QUuid& token) const;
    // Clears the listener of this generation; false when the token is stale.
    bool clearCurrentListener(const QUuid& token);
    bool setListening(const QUuid& token, int port);
    void report(const State& state);
    void reportRefusedHostName(const QString& name);
    bool recordsActivity() const;
    void reportActivity(const QuarryActivityEvent& event);

    mutable std::mutex m_lock;
    QUuid m_listenerToken;
    int m_listeningPort = 0;
    QuarryShareServerSnapshot m_snapshot;
    StateHandler m_stateHandler;
    RefusedHostNameHandler m_refusedHostNameHandler;
    std::shared_ptr<const ActivityHandler> m_activityHandler;
    Options m_options;

    QThread m_thread;
    // Orders the thread's start and end with the calls that wake it, in a way ThreadSanitizer sees: Qt
    // orders them with its own locks, which it cannot see.
    std::mutex m_threadLock;
    std::condition_variable m_threadStarted;
    bool m_threadRunning = false;
    QuarryServerCore* m_core = nullptr;
    // The main thread's calls to the core go through it; it lives and dies with the core.
    QuarryMailbox* m_coreMailbox = nullptr;
};
