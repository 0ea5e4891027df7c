#include "server/web_server.h"

#include "server/server_core.h"

#include <csignal>
#include <pthread.h>

QuarryShareWebServer::State QuarryShareWebServer::State::running(int port) {
    return State{Kind::running, port, QString()};
}

QuarryShareWebServer::State QuarryShareWebServer::State::failed(const QString& message) {
    return State{Kind::failed, 0, message};
}

QuarryShareWebServer::State QuarryShareWebServer::State::stopped() {
    return State{Kind::stopped, 0, QString()};
}

QuarryShareWebServer::QuarryShareWebServer(QObject* parent)
    : QObject(parent)
    , m_listenerToken(QUuid::createUuid()) {
    m_thread.setObjectName(QStringLiteral("app.brightloom.share.webserver"));
    // sendfile has no way to ask for EPIPE instead of SIGPIPE when a visitor leaves mid-download: the
    // signal is kept from this thread (and the threads it starts), so the write fails and nothing else.
    connect(
        &m_thread, &QThread::started, &m_thread,
        [this] {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            // The thread's event loop exists from here on: calls may wake it.
            const std::lock_guard locker(m_threadLock);
            m_threadRunning = true;
            m_threadStarted.notify_all();
        },
        Qt::DirectConnection);
    // Taken before the thread's event loop goes, after whatever quit it.
    connect(
        &m_thread, &QThread::finished, &m_thread, [this] { const std::lock_guard locker(m_threadLock); },
        Qt::DirectConnection);
    m_core = new QuarryServerCore(this);
    m_coreMailbox = new QuarryMailbox(m_core);
    m_core->moveToThread(&m_thread);
    // The core, its listener and every connection end on their own thread, before the thread does.
    connect(&m_thread, &QThread::finished, m_core, &QObject::deleteLater);
    m_thread.start();
    std::unique_lock locker(m_threadLock);
    m_threadStarted.wait(locker, [this] { return m_threadRunning; });
}

QuarryShareWebServer::~QuarryShareWebServer() {
    {
        const std::lock_guard locker(m_lock);
        m_listenerToken = QUuid::createUuid();
        m_stateHandler = nullptr;
    }
    {
        const std::lock_guard locker(m_threadLock);
        m_thread.quit();
    }
    m_thread.wait();
}

QuarryResult<void> QuarryShareWebServer::start(int port, const QuarryShareServerSnapshot& snapshot) {
    stopListening(false);
    update(snapshot);
    if (port < 0 || port > 65535)
        return QuarryError{QStringLiteral("QuarryShareWebServer"), 1,
                           QStringLiteral("Invalid port %1.").arg(port)};

    const QUuid token = QUuid::createUuid();
    {
        const std::lock_guard locker(m_lock);
        m_listenerToken = token;
    }
    // The listener is opened once control returns to this object's event loop, so that a start that
    // replaces this one straight away leaves no trace of it: only the last start of a turn is reported.
    QMetaObject::invokeMethod(
        this,
        [this, token, port] {
            if (!isCurrentListener(token))
                return;
            QuarryServerCore* core = m_core;
            m_coreMailbox->post([core, token, port] { core->listen(token, port); });
        },
        Qt::QueuedConnection);
    return {};
}

void QuarryShareWebServer::stop() {
    stopListening(true);
}

void QuarryShareWebServer::stopListening(bool notify) {
    {
        const std::lock_guard locker(m_lock);
        m_listenerToken = QUuid::createUuid();
        m_listeningPort = 0;
    }
    QuarryServerCore* core = m_core;
    m_coreMailbox->post([core] { core->closeListener(); });
    if (notify)
        report(State::stopped());
}

void QuarryShareWebServer::update(const QuarryShareServerSnapshot& snapshot) {
    const std::lock_guard locker(m_lock);
    m_snapshot = snapshot;
}

void QuarryShareWebServer::setStateHandler(StateHandler handler) {
    const std::lock_guard locker(m_lock);
    m_stateHandler = std::move(handler);
}

void QuarryShareWebServer::setRefusedHostNameHandler(RefusedHostNameHandler handler) {
    const std::lock_guard locker(m_lock);
    m_refusedHostNameHandler = std::move(handler);
}

void QuarryShareWebServer::setActivityHandler(ActivityHandler handler) {
    const std::lock_guard locker(m_lock);
    m_activityHandler = handler ? std::make_shared<const ActivityHandler>(std::move(handler)) : nullptr;
}

bool QuarryShareWebServer::recordsActivity() const {
    const std::lock_guard locker(m_lock);
    return m_activityHandler != nullptr;
}

void QuarryShareWebServer::reportActivity(const QuarryActivityEvent& event) {
    std::shared_ptr<const ActivityHandler> handler;
    {
        const std::lock_guard locker(m_lock);
        handler = m_activityHandler;
    }
    if (handler)
        (*handler)(event);
}

QuarryShareServerSnapshot QuarryShareWebServer::currentSnapshot() const {
    const std::lock_guard locker(m_lock);
    return m_snapshot;
}

int QuarryShareWebServer::listeningPort() const {
    const std::lock_guard locker(m_lock);
    return m_listeningPort;
}

void QuarryShareWebServer::setOptions(const Options& options) {
    const std::lock_guard locker(m_lock);
    m_options = options;
}

QuarryShareWebServer::Options QuarryShareWebServer::options() const {
    const std::lock_guard locker(m_lock);
    return m_options;
}

bool QuarryShareWebServer::isCurrentListener(const QUuid& token) const {
    const std::lock_guard locker(m_lock);
    return m_listenerToken == token;
}

bool QuarryShareWebServer::clearCurrentListener(const QUuid& token) {
    const std::lock_guard locker(m_lock);
    if (m_listenerToken != token)
        return false;
    m_listeningPort = 0;
    return true;
}

bool QuarryShareWebServer::setListening(const QUuid& token, int port) {
    const std::lock_guard locker(m_lock);
    if (m_listenerToken != token)
        return false;
    m_listeningPort = port;
    return true;
}

void QuarryShareWebServer::report(const State& state) {
    StateHandler handler;
    {
        const std::lock_guard locker(m_lock);
        handler = m_stateHandler;
    }
    if (handler)
        handler(state);
}

void QuarryShareWebServer::reportRefusedHostName(const QString& name) {
    RefusedHostNameHandler handler;
    {
        const std::lock_guard locker(m_lock);
        handler = m_refusedHostNameHandler;
    }
    if (handler)
        handler(name);
}
