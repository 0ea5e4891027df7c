#include "tunnel/tunnel_service.h"

#include <QNetworkAccessManager>

QString QuarryShareTunnelService::Status::label() const {
    switch (kind) {
    case Kind::preparing:
        return QStringLiteral("Starting");
    case Kind::running:
        return QStringLiteral("Online");
    case Kind::failed:
        return QStringLiteral("Needs attention");
    case Kind::stopped:
        break;
    }
    return QStringLiteral("Off");
}

QuarryShareTunnelService::Status QuarryShareTunnelService::Status::preparing() {
    return Status{Kind::preparing, QString()};
}

QuarryShareTunnelService::Status QuarryShareTunnelService::Status::running(const QString& hostname) {
    return Status{Kind::running, hostname};
}

QuarryShareTunnelService::Status QuarryShareTunnelService::Status::failed(const QString& message) {
    return Status{Kind::failed, message};
}

QuarryShareTunnelService::Status QuarryShareTunnelService::Status::stopped() {
    return Status{Kind::stopped, QString()};
}

QuarryShareTunnelService::QuarryShareTunnelService(QNetworkAccessManager* session, QObject* parent)
    : QObject(parent)
    , m_session(session ? session : new QNetworkAccessManager(this))
    , m_candidates(defaultCloudflaredCandidates()) {}

QuarryShareTunnelService::~QuarryShareTunnelService() {
    abandonRequests();
    endChildrenForGood();
}

void QuarryShareTunnelService::setStatusHandler(StatusHandler handler) {
    m_statusHandler = std::move(handler);
}

void QuarryShareTunnelService::discardPendingReports() {
    m_firstDeliverableReport = m_nextReport;
}

void QuarryShareTunnelService::notify(const Status& status) {
    // The handler is read now, so a handler set later never sees this report. Delivery is queued on
    // this object: reports arrive in the order issued, after the caller's own main-thread work.
    if (!m_statusHandler)
        return;
    const quint64 report = m_nextReport++;
    QMetaObject::invokeMethod(
        this,
        [this, handler = m_statusHandler, status, report] {
            if (report >= m_firstDeliverableReport)
                handler(status);
        },
        Qt::QueuedConnection);
}
