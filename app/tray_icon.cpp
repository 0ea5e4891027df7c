#include "app/tray_icon.h"

#include "store/quarry_share_store.h"

#include <QAction>
#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

namespace {

constexpr char kAppIcon[] = ":/QuarryDesktop/app.brightloom.share.svg";

// The palette's status colours.
const QColor kGreen(0x0E, 0x92, 0x5D);
const QColor kYellow(0xF4, 0xB5, 0x00);
const QColor kBlue(0x27, 0x7B, 0xD6);
const QColor kGrey(0x8E, 0x8E, 0x93);

// The application's icon with a dot for the server at the lower right (green serving, yellow failed,
// grey stopped) and, while the public link is on, a second dot at the upper right in its colour.
QIcon stateIcon(const QColor& server, const std::optional<QColor>& publicLink) {
    QSvgRenderer renderer{QString::fromLatin1(kAppIcon)};
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, size, size));
        const qreal diameter = size * 0.42;
        const qreal ring = qMax<qreal>(1.0, size / 16.0);
        const auto dot = [&](const QPointF& topLeft, const QColor& colour) {
            painter.setPen(QPen(Qt::white, ring));
            painter.setBrush(colour);
            painter.drawEllipse(
                QRectF(topLeft, QSizeF(diameter, diameter)).adjusted(ring, ring, -ring, -ring));
        };
        dot(QPointF(size - diameter, size - diameter), server);
        if (publicLink)
            dot(QPointF(size - diameter, 0), *publicLink);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QuarryTray::QuarryTray(QuarryShareStore& store, QObject* parent)
    : QObject(parent)
    , m_store(store) {
    m_serverStatus = m_menu.addAction(QString());
    m_serverStatus->setEnabled(false);
    m_publicLinkStatus = m_menu.addAction(QString());
    m_publicLinkStatus->setEnabled(false);
    m_menu.addSeparator();
    m_open = m_menu.addAction(QStringLiteral("Open brightloom Share"));
    m_activity = m_menu.addAction(QStringLiteral("Activity"));
    m_publicLink = m_menu.addAction(QString());
    m_menu.addSeparator();
    m_quit = m_menu.addAction(QStringLiteral("Quit"));
    m_open->setObjectName(QStringLiteral("trayOpenAction"));
    m_activity->setObjectName(QStringLiteral("trayActivityAction"));
    m_publicLink->setObjectName(QStringLiteral("trayPublicLinkAction"));
    m_quit->setObjectName(QStringLiteral("trayQuitAction"));

    connect(m_open, &QAction::triggered, this, &QuarryTray::openRequested);
    connect(m_activity, &QAction::triggered, this, &QuarryTray::activityRequested);
    connect(m_quit, &QAction::triggered, this, &QuarryTray::quitRequested);
    QuarryPublicLinkController* link = m_store.publicLink();
    connect(m_publicLink, &QAction::triggered, this, [this, link] {
        if (m_store.appState().publicTunnel.isEnabled)
            link->stopPublicTunnel();
        else
            link->startPublicTunnel();
    });
    // A click on the icon itself opens the window too.
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            Q_EMIT openRequested();
    });

    connect(m_store.server(), &QuarryServerController::serverStateChanged, this, &QuarryTray::update);
    connect(m_store.activity(), &QuarryActivityLog::runningDownloadsChanged, this, &QuarryTray::update);
    for (const auto signal : {&QuarryPublicLinkController::publicTunnelStatusChanged,
                              &QuarryPublicLinkController::publicTunnelEnabledChanged,
                              &QuarryPublicLinkController::publicTunnelRequirementsChanged})
        connect(link, signal, this, &QuarryTray::update);
    m_icon.setContextMenu(&m_menu);
    update();
}

QuarryTray::~QuarryTray() {
    m_icon.hide();
}

bool QuarryTray::isAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QuarryTray::showIfPossible() {
    // Elsewhere (Wayland without a tray host, offscreen) an icon would show nowhere.
    if (isAvailable() || QGuiApplication::platformName() == QLatin1String("xcb"))
        m_icon.show();
}

QString QuarryTray::serverText() const {
    const QuarryShareWebServer::State state = m_store.server()->serverState();
    switch (state.kind) {
    case QuarryShareWebServer::State::Kind::running:
        return QStringLiteral("Web server: Listening on %1").arg(state.port);
    case QuarryShareWebServer::State::Kind::failed:
        return QStringLiteral("Web server: Couldn't start");
    case QuarryShareWebServer::State::Kind::stopped:
        break;
    }
    return QStringLiteral("Web server: Stopped");
}

QString QuarryTray::publicLinkText() const {
    return QStringLiteral("Public link: %1").arg(m_store.publicLink()->publicTunnelStatus().label());
}

void QuarryTray::update() {
    const bool linkEnabled = m_store.appState().publicTunnel.isEnabled;
    m_serverStatus->setText(serverText());
    m_publicLinkStatus->setText(publicLinkText());
    m_publicLink->setText(linkEnabled ? QStringLiteral("Turn Off Public Link")
                                      : QStringLiteral("Turn On Public Link"));
    m_publicLink->setEnabled(linkEnabled || m_store.publicLink()->publicTunnelCanStart());
    const int downloads = m_store.activity()->runningDownloads();
    const QString running = downloads == 0   ? QString()
                            : downloads == 1 ? QStringLiteral("\n1 download running")
                                             : QStringLiteral("\n%1 downloads running").arg(downloads);
    m_icon.setToolTip(QStringLiteral("brightloom Share\n%1\n%2").arg(serverText(), publicLinkText()) +
                      running);

    QColor server = kGrey;
    const QuarryShareWebServer::State::Kind serverKind = m_store.server()->serverState().kind;
    if (serverKind == QuarryShareWebServer::State::Kind::running)
        server = kGreen;
    else if (serverKind == QuarryShareWebServer::State::Kind::failed)
        server = kYellow;
    std::optional<QColor> link;
    switch (m_store.publicLink()->publicTunnelStatus().kind) {
    case QuarryShareTunnelService::Status::Kind::running:
        link = kGreen;
        break;
    case QuarryShareTunnelService::Status::Kind::failed:
        link = kYellow;
        break;
    case QuarryShareTunnelService::Status::Kind::preparing:
        link = kBlue;
        break;
    case QuarryShareTunnelService::Status::Kind::stopped:
        break;
    }
    // Drawn again only when what it shows changes.
    const QString shown = server.name() + (link ? link->name() : QString());
    if (shown != m_shownState) {
        m_shownState = shown;
        m_icon.setIcon(stateIcon(server, link));
    }
}
