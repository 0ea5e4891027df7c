#include "store/public_link_controller.h"

#include "sources/share_utilities.h"
#include "store/keychain.h"
#include "store/quarry_share_store.h"

#include <QPointer>

namespace {

QuarryError storeError(const QString& message) {
    return QuarryError{QStringLiteral("QuarryShareStore"), 1, message};
}

} // namespace

QuarryPublicLinkController::QuarryPublicLinkController(QuarryShareStore& store,
                                                       std::unique_ptr<QuarryShareTunnelService> tunnel,
                                                       std::function<QString()> computerName, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_tunnel(std::move(tunnel))
    , m_computerName(std::move(computerName))
    , m_announced(store.appState().publicTunnel)
    , m_requirement(publicTunnelRequirementMessage()) {
    // The service delivers its reports on the main thread, queued and in order.
    m_tunnel->setStatusHandler(
        [this](const QuarryShareTunnelService::Status& status) { setPublicTunnelStatus(status); });
    connect(&m_store, &QuarryShareStore::publicTunnelChanged, this,
            &QuarryPublicLinkController::announceSettings);
    connect(&m_store, &QuarryShareStore::sharesChanged, this,
            &QuarryPublicLinkController::refreshRequirements);
}

QuarryPublicLinkController::~QuarryPublicLinkController() {
    m_tunnel->setStatusHandler({});
    m_tunnel.reset();
}

void QuarryPublicLinkController::setPublicTunnelStatus(const QuarryShareTunnelService::Status& status) {
    if (m_status == status)
        return;
    m_status = status;
    Q_EMIT publicTunnelStatusChanged();
}

// Tells the windows which of the settings changed, and only those.
void QuarryPublicLinkController::announceSettings() {
    const QuarrySharePublicTunnel now = m_store.appState().publicTunnel;
    const QuarrySharePublicTunnel before = std::exchange(m_announced, now);
    if (now.isEnabled != before.isEnabled)
        Q_EMIT publicTunnelEnabledChanged();
    if (now.requestedSubdomain != before.requestedSubdomain)
        Q_EMIT publicTunnelSubdomainChanged();
    if (now.brokerURL != before.brokerURL)
        Q_EMIT publicTunnelBrokerURLChanged();
    if (now.hostname != before.hostname)
        Q_EMIT publicTunnelHostnameChanged();
}

void QuarryPublicLinkController::refreshRequirements() {
    std::optional<QString> requirement = publicTunnelRequirementMessage();
    if (requirement == m_requirement)
        return;
    m_requirement = std::move(requirement);
    Q_EMIT publicTunnelRequirementsChanged();
}

QString QuarryPublicLinkController::publicTunnelSubdomain() const {
    return m_store.appState().publicTunnel.requestedSubdomain;
}

void QuarryPublicLinkController::setPublicTunnelSubdomain(const QString& text) {
    const QString slug = QuarryShareUtilities::slugify(text);
    m_store.changePublicTunnel([&](QuarrySharePublicTunnel& tunnel) { tunnel.requestedSubdomain = slug; });
}

QString QuarryPublicLinkController::publicTunnelBrokerURL() const {
    return m_store.appState().publicTunnel.brokerURL;
}

void QuarryPublicLinkController::setPublicTunnelBrokerURL(const QString& text) {
    const QString trimmed = trimmedText(text);
    m_store.changePublicTunnel([&](QuarrySharePublicTunnel& tunnel) { tunnel.brokerURL = trimmed; });
}

bool QuarryPublicLinkController::publicTunnelEnabled() const {
    return m_store.appState().publicTunnel.isEnabled;
}

std::optional<QString> QuarryPublicLinkController::publicTunnelHostname() const {
    return m_store.appState().publicTunnel.hostname;
}

std::optional<QString> QuarryPublicLinkController::publicTunnelURL() const {
    const std::optional<QString> hostname = publicTunnelHostname();
    if (!hostname || hostname->isEmpty())
        return std::nullopt;
    return QStringLiteral("https://%1/").arg(*hostname);
}

QString QuarryPublicLinkController::publicTunnelDomainSuffix() const {
    if (const std::optional<QString> hostname = publicTunnelHostname()) {
        const QString label = hostname->section(QLatin1Char('.'), 0, 0);
        if (hostname->startsWith(label + QLatin1Char('.')))
            return QLatin1Char('.') + hostname->mid(label.size() + 1);
    }
    return QLatin1Char('.') + QString::fromLatin1(defaultPublicDomain);
}

bool QuarryPublicLinkController::publicTunnelCanStart() const {
    return !publicTunnelRequirementMessage().has_value();
}

std::optional<QString> QuarryPublicLinkController::publicTunnelRequirementMessage() const {
    if (!m_tunnel->cloudflaredExecutableURL())
        return QStringLiteral("Install or bundle cloudflared before turning on public links.");
    const QList<QuarryFolderShare> enabled = m_store.enabledShares();
    if (enabled.isEmpty())
        return QStringLiteral("Turn on at least one space before publishing a public link.");
    for (const QuarryFolderShare& share : enabled) {
        if (!share.isPasswordProtected())
            return QStringLiteral(
                "Set a password on every enabled space before publishing it to the internet.");
    }
    return std::nullopt;
}

QuarryResult<QUrl> QuarryPublicLinkController::normalizedBrokerURL() const {
    const QUrl url(trimmedText(publicTunnelBrokerURL()), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return storeError(QStringLiteral("Enter a valid tunnel broker URL."));
    return url;
}

QString QuarryPublicLinkController::normalizedTunnelSubdomain() const {
    QString text = publicTunnelSubdomain();
    if (text.isEmpty()) {
        text = m_computerName ? m_computerName() : QuarryShareUtilities::computerName();
        if (text.isEmpty())
            text = QStringLiteral("share");
    }
    return QuarryShareUtilities::slugify(text);
}

QString QuarryPublicLinkController::tunnelTokenAccount() const {
    return QStringLiteral("publicTunnelToken:") + m_store.appState().installationID;
}

void QuarryPublicLinkController::checkPublicTunnelAvailability() {
    const QuarryResult<QUrl> url = normalizedBrokerURL();
    if (!url) {
        m_store.setErrorMessage(url.error().message);
        return;
    }
    const QString subdomain = normalizedTunnelSubdomain();
    QPointer<QuarryPublicLinkController> self(this);
    m_tunnel->checkAvailability(
        *url, subdomain, [self, subdomain](QuarryResult<QuarryTunnelBroker::AvailabilityResponse> answer) {
            if (!self)
                return;
            QuarryShareStore& store = self->m_store;
            if (!answer)
                store.setErrorMessage(answer.error().message);
            else if (answer->available)
                store.setStatusMessage(answer->hostname.value_or(subdomain) +
                                       QStringLiteral(" is available."));
            else
                store.setErrorMessage(
                    answer->reason.value_or(subdomain + QStringLiteral(" is not available.")));
        });
}

void QuarryPublicLinkController::startPublicTunnel() {
    if (!publicTunnelCanStart()) {
        m_store.setErrorMessage(
            publicTunnelRequirementMessage().value_or(QStringLiteral("Public links are not ready yet.")));
        return;
    }
    m_tunnel->discardPendingReports();
    setPublicTunnelStatus(QuarryShareTunnelService::Status::preparing());

    const QuarryResult<QUrl> url = normalizedBrokerURL();
    if (!url) {
        failPublicTunnelStart(url.error().message);
        return;
    }
    const QString subdomain = normalizedTunnelSubdomain();
    m_store.changePublicTunnel(
        [&](QuarrySharePublicTunnel& tunnel) { tunnel.requestedSubdomain = subdomain; },
        QuarryShareStore::Saving::withTheNextSave);

    QPointer<QuarryPublicLinkController> self(this);
    const QuarryShareAppState& state = m_store.appState();
    m_tunnel->reserveTunnel(*url, subdomain, state.port, state.installationID,
                            [self](QuarryResult<QuarryTunnelBroker::ReservationResponse> reservation) {
                                if (!self)
                                    return;
                                if (!reservation)
                                    self->failPublicTunnelStart(reservation.error().message);
                                else
                                    self->finishPublicTunnelStart(*reservation);
                            });
}

void QuarryPublicLinkController::finishPublicTunnelStart(
    const QuarryTunnelBroker::ReservationResponse& reservation) {
    const QuarryResult<void> stored = QuarryShareKeychain::save(reservation.token, tunnelTokenAccount());
    if (!stored) {
        failPublicTunnelStart(stored.error().message);
        return;
    }
    m_store.changePublicTunnel([&](QuarrySharePublicTunnel& tunnel) {
        tunnel.hostname = reservation.hostname;
        tunnel.tunnelID = reservation.tunnelID;
        tunnel.isEnabled = true;
        tunnel.lastError.reset();
        tunnel.lastStartedAt = QDateTime::currentDateTimeUtc();
    });

    const QuarryResult<void> started = m_tunnel->start(reservation.token, reservation.hostname);
    if (!started) {
        failPublicTunnelStart(started.error().message);
        return;
    }
    m_store.setStatusMessage(
        QStringLiteral("Public link is online at https://%1/.").arg(reservation.hostname));
}

void QuarryPublicLinkController::failPublicTunnelStart(const QString& description) {
    // Reports the service issued before this failure must not replace it when they arrive.
    m_tunnel->discardPendingReports();
    setPublicTunnelStatus(QuarryShareTunnelService::Status::failed(description));
    m_store.changePublicTunnel([&](QuarrySharePublicTunnel& tunnel) { tunnel.lastError = description; });
    m_store.setErrorMessage(description);
}

void QuarryPublicLinkController::stopPublicTunnel() {
    m_tunnel->stop();
    m_store.changePublicTunnel([](QuarrySharePublicTunnel& tunnel) { tunnel.isEnabled = false; });
    m_store.setStatusMessage(QStringLiteral("Public link is off."));
}

void QuarryPublicLinkController::resumePublicTunnelIfNeeded() {
    const QuarrySharePublicTunnel& tunnel = m_store.appState().publicTunnel;
    if (!tunnel.isEnabled || !tunnel.hostname)
        return;
    const QuarryResult<std::optional<QString>> token = QuarryShareKeychain::read(tunnelTokenAccount());
    if (!token || !token->has_value())
        return;
    const QString hostname = *tunnel.hostname;
    const QuarryResult<void> started = m_tunnel->start(**token, hostname);
    if (!started) {
        m_tunnel->discardPendingReports();
        setPublicTunnelStatus(QuarryShareTunnelService::Status::failed(started.error().message));
        m_store.changePublicTunnel(
            [&](QuarrySharePublicTunnel& t) { t.lastError = started.error().message; });
    }
}
