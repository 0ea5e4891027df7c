#pragma once

#include "server/archives/archive_writers.h"
#include "server/archives/checksum_cache.h"
#include "server/http/connection_slots.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/media/thumbnails.h"
#include "server/site/unlock_throttle.h"
#include "server/site/unlock_turns.h"
#include "server/work/search_gate.h"
#include "server/work/shared_work.h"
#include "server/work/work_pool.h"

#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QTimer>
#include <QUuid>

class QuarryShareWebServer;

// Hands accepted sockets over as raw descriptors; each connection handles its own socket.
class QuarryTCPListener : public QTcpServer {
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;
Q_SIGNALS:
    void accepted(qintptr descriptor);

protected:
    void incomingConnection(qintptr descriptor) override { Q_EMIT accepted(descriptor); }
};

// The part of the web server that lives on its thread: the listener, the connections, the throttle.
// Threads: server thread only; the main thread reaches it through queued calls from QuarryShareWebServer.
class QuarryServerCore : public QObject {
    Q_OBJECT
public:
    explicit QuarryServerCore(QuarryShareWebServer* server);
    ~QuarryServerCore() override;

    void listen(const QUuid& token, int port);
    void closeListener();

private:
    QuarryHTTPConnection* accept(int descriptor, const QHostAddress& peer);
    HTTPResponse answer(const HTTPRequest& request, const QHostAddress& peer);

    QuarryShareWebServer* m_server;
    QuarryTCPListener* m_listener = nullptr;
    // Takes the listener's connections within a ceiling, fairly between clients.
    QuarryConnectionSlots m_slots;
    QuarryUnlockThrottle m_throttle;
    // A child of this object, so it moves to the server thread with it.
    QuarryUnlockTurns m_unlockTurns;
    // Sized to the machine, two at least, so one long listing never holds up every other page.
    QuarryWorkPool m_work;
    // Fewer searches than the pool has threads, so a thread stays free for other work.
    QuarrySearchGate m_searches;
    // Before the archive writers, so it outlives every writer that uses it.
    QuarryChecksumCache m_checksums;
    // Listings on the pool, each made once however many ask for it at once, a couple per client.
    QuarrySharedWork m_listings;
    // A child of this object, so it moves to the server thread with it.
    QuarryArchiveWriters m_archives;
    // A pool of its own, so a folder of photos never holds up the other work.
    QuarryThumbnails m_thumbnails;
    // Now and then hands memory that connections gave back to the system (a child, so it moves with this).
    QTimer m_giveBack;
    // What the allocator held free after the last trim, or less when it has used some of it since.
    qint64 m_freeBytes = 0;
    // The foreign host names reported so far.
    QSet<QString> m_refusedNames;
    // Numbers the answers that are recorded as activity.
    quint64 m_answers = 0;
};
