#include "server/server_core.h"

#include "core/descriptor_limit.h"
#include "server/http/client_address.h"
#include "server/site/download_request.h"
#include "server/site/host_names.h"
#include "server/site/router.h"
#include "server/web_server.h"

#include <QThread>

#include <malloc.h>
#include <unistd.h>

namespace {

// Pending connections the system may queue while the server thread is busy, at least. As many as the
// server may hold, when that is more: past a full queue the system drops a newcomer's first packet, and
// another visitor arriving during a flood would wait a second or more for its retry.
constexpr int kListenBacklog = 512;
// Searches walking at once, at most; the others wait their turn.
constexpr int kMaxSearches = 3;
// Listings one client has made at once, at most: a browser asks for the folders of its open columns.
constexpr int kListingsPerClient = 2;
// How often the allocator's free memory is looked at, and how much more of it is handed back.
constexpr std::chrono::seconds kGiveBackInterval(3);
constexpr qint64 kGiveBackAfter = 8 << 20;
// Distinct refused host names reported to the desk, at most.
constexpr qsizetype kMaxRefusedNames = 32;

// Half the machine, or both cores of a machine of two: a phone's first screenful of a folder of photos is
// some 18 decodes of most of 100 ms each, and a listing made beside two of them still comes in tens of
// milliseconds.
int thumbnailThreads() {
    const int cores = QThread::idealThreadCount();
    return qBound(1, cores <= 2 ? cores : cores / 2, 4);
}

} // namespace

QuarryServerCore::QuarryServerCore(QuarryShareWebServer* server)
    : m_server(server)
    , m_slots([this](int descriptor, const QHostAddress& peer) { return accept(descriptor, peer); }, this)
    , m_throttle([server] { return server->options().clock(); })
    , m_unlockTurns(&m_throttle, this)
    , m_work(qMax(2, QThread::idealThreadCount()))
    , m_searches(qBound(1, m_work.maxThreads() - 1, kMaxSearches))
    , m_checksums(QuarryChecksumCache::defaultPath())
    , m_listings(&m_work, kListingsPerClient)
    , m_archives(this)
    , m_thumbnails(QuarryThumbnailCache::defaultFolder(), QuarryThumbnailCache::kDefaultCapacity,
                   thumbnailThreads())
    , m_giveBack(this) {
    // A flood of connections leaves its buffers in the allocator's free lists, scattered between what is
    // still in use, where the allocator keeps them for good; once much more lies free than at the last
    // look, it goes back to the system.
    connect(&m_giveBack, &QTimer::timeout, this, [this] {
        const auto freeBytes = static_cast<qint64>(::mallinfo2().fordblks);
        // Pages handed back still count as free: only what is freed beyond them is worth another trim.
        if (freeBytes - m_freeBytes > kGiveBackAfter) {
            ::malloc_trim(0);
            m_freeBytes = freeBytes;
        } else {
            m_freeBytes = qMin(m_freeBytes, freeBytes);
        }
    });
}

QuarryServerCore::~QuarryServerCore() = default;

void QuarryServerCore::listen(const QUuid& token, int port) {
    if (!m_server->isCurrentListener(token))
        return;
    closeListener();
    auto* listener = new QuarryTCPListener(this);
    const QuarrySlotLimits limits = m_server->options().connections;
    const long descriptorLimit = QuarryDescriptorLimit::current();
    listener->setListenBacklogSize(
        qMax(kListenBacklog, limits.maxConnections > 0 ? qMin(limits.maxConnections, 65535)
                                                       : QuarryConnectionSlots::ceilingFor(descriptorLimit)));
    if (!listener->listen(QHostAddress::Any, static_cast<quint16>(port))) {
        const QString message = listener->errorString();
        delete listener;
        if (m_server->clearCurrentListener(token))
            m_server->report(QuarryShareWebServer::State::failed(message));
        return;
    }
    m_listener = listener;
    // Started here, on the server thread: a timer started before the move would be re-registered by an
    // event that is lost if the thread ends first.
    m_giveBack.start(kGiveBackInterval);
    // Accepting is the slots' job, so that a full table or a lack of descriptors never spins.
    listener->pauseAccepting();
    m_slots.watch(static_cast<int>(listener->socketDescriptor()), limits, descriptorLimit);
    if (m_server->setListening(token, listener->serverPort()))
        m_server->report(QuarryShareWebServer::State::running(port));
    else
        closeListener();
}

void QuarryServerCore::closeListener() {
    m_slots.stop();
    delete m_listener;
    m_listener = nullptr;
}

QuarryHTTPConnection* QuarryServerCore::accept(int descriptor, const QHostAddress& peer) {
    QuarryConnectionLimits limits = m_server->options().limits;
    limits.bodyLimit = QuarrySite::bodyLimit;
    return new QuarryHTTPConnection(
        descriptor, peer,
        [this](const HTTPRequest& request, const QHostAddress& from) { return answer(request, from); },
        limits, this);
}

HTTPResponse QuarryServerCore::answer(const HTTPRequest& request, const QHostAddress& peer) {
    QuarryShareServerSnapshot snapshot = m_server->currentSnapshot();
    // Before any routing: a foreign name gets no handler at all, not even the unlock form.
    if (const std::optional<QuarrySite::ForeignHost> foreign = QuarrySite::foreignHost(request, snapshot)) {
        // Each name once, and only so many: a stranger sending made-up names must not flood the desk.
        if (foreign->isHostName && m_refusedNames.size() < kMaxRefusedNames &&
            !m_refusedNames.contains(foreign->name)) {
            m_refusedNames.insert(foreign->name);
            m_server->reportRefusedHostName(foreign->name);
        }
        return QuarrySite::misdirectedAnswer(snapshot, foreign->name);
    }
    const QuarryShareWebServer::Options options = m_server->options();
    const QuarrySite::RequestContext context{.client = QuarryHTTP::clientOf(request, peer),
                                             .throttle = &m_throttle,
                                             .unlockTurns = &m_unlockTurns,
                                             .archives = &m_archives,
                                             .archiveLimits = options.archiveLimits,
                                             .work = &m_work,
                                             .searches = &m_searches,
                                             .listings = &m_listings,
                                             .searchLimits = options.search,
                                             .thumbnails = &m_thumbnails,
                                             .checksums = &m_checksums};
    HTTPResponse response = QuarrySite::route(request, snapshot, context);
    // Every answer passes here: the ones that hand out a share's content are watched as they go out.
    if (!m_server->recordsActivity())
        return response;
    std::optional<QuarryActivityEvent> event = QuarrySite::activityOf(request, snapshot, context.client);
    if (!event)
        return response;
    event->answer = ++m_answers;
    QuarrySite::noteAnswer(*event, response);
    response.delivered = [server = m_server,
                          event = std::move(*event)](const QuarryHTTPDelivery& delivery) mutable {
        QuarrySite::completeActivity(event, delivery);
        server->reportActivity(event);
    };
    return response;
}
