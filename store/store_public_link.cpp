#include "store/quarry_share_store.h"

#include "sources/share_utilities.h"
#include "store/keychain.h"

#include <QPointer>
#include <QUrl>

namespace {

QuarryError storeError(const QString& message) {
    return QuarryError{QStringLiteral("QuarryShareStore"), 1, message};
}

} // namespace

void QuarryShareStore::setPublicTunnelSubdomain(const QString& text) {
    m_appState.publicTunnel.requestedSubdomain = QuarryShareUtilities::slugify(text);
    Q_EMIT appStateChanged();
    save();
}

void QuarryShareStore::setPublicTunnelBrokerURL(const QString& text) {
    m_appState.publicTunnel.brokerURL = trimmedText(text);
    Q_EMIT appStateChanged();
    save();
}

std::optional<QString> QuarryShareStore::publicTunnelURL() const {
    const auto& hostname = m_appState.publicTunnel.hostname;
    if (!hostname || hostname->isEmpty())
        return std::nullopt;
    return QStringLiteral("https://%1/").arg(*hostname);
}

QString QuarryShareStore::publicTunnelDomainSuffix() const {
    if (const auto& hostname = m_appState.publicTunnel.hostname) {
        const QString label = hostname->section(QLatin1Char('.'), 0, 0);
        if (hostname->startsWith(label + QLatin1Char('.')))
            return QLatin1Char('.') + hostname->mid(label.size() + 1);
    }
    return QLatin1Char('.') + QString::fromLatin1(defaultPublicDomain);
}

bool QuarryShareStore::publicTunnelCanStart() const {
    return !publicTunnelRequirementMessage().has_value();
}

std::optional<QString> QuarryShareStore::publicTunnelRequirementMessage() const {
    if (!m_tunnelService->cloudflaredExecutableURL())
        return QStringLiteral("Install or bundle cloudflared before turning on public links.");
    const QList<QuarryFolderShare> enabled = enabledShares();
    if (enabled.isEmpty())
        return QStringLiteral("Turn on at least one space before publishing a public link.");
    for (const QuarryFolderShare& share : enabled) {
        if (!share.isPasswordProtected())
            return QStringLiteral(
                "Set a password on every enabled space before publishing it to the internet.");
    }
    return std::nullopt;
}

QuarryResult<QUrl> QuarryShareStore::normalizedBrokerURL() const {
    const QUrl url(trimmedText(m_appState.publicTunnel.brokerURL), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return storeError(QStringLiteral("Enter a valid tunnel broker URL."));
    return url;
}

QString QuarryShareStore::normalizedTunnelSubdomain() const {
    QString text = m_appState.publicTunnel.requestedSubdomain;
    if (text.isEmpty()) {
        text =
            m_environment.computerName ? m_environment.computerName() : QuarryShareUtilities::computerName();
        if (text.isEmpty())
            text = QStringLiteral("share");
    }
    return QuarryShareUtilities::slugify(text);
}

QString QuarryShareStore::tunnelTokenAccount() const {
    return QStringLiteral("publicTunnelToken:") + m_appState.installationID;
}

void QuarryShareStore::checkPublicTunnelAvailability(std::function<void()> done) {
    const QuarryResult<QUrl> url = normalizedBrokerURL();
    if (!url) {
        setErrorMessage(url.error().message);
        if (done)
            done();
        return;
    }
    const QString subdomain = normalizedTunnelSubdomain();
    QPointer<QuarryShareStore> self(this);
    m_tunnelService->checkAvailability(
        *url, subdomain, [self, subdomain, done](QuarryResult<AvailabilityResponse> answer) {
            if (!self)
                return;
            if (!answer)
                self->setErrorMessage(answer.error().message);
            else if (answer->available)
                self->setStatusMessage(answer->hostname.value_or(subdomain) +
                                       QStringLiteral(" is available."));
            else
                self->setErrorMessage(
                    answer->reason.value_or(subdomain + QStringLiteral(" is not available.")));
            if (done)
                done();
        });
}

void QuarryShareStore::startPublicTunnel(std::function<void()> done) {
    if (!publicTunnelCanStart()) {
        setErrorMessage(
            publicTunnelRequirementMessage().value_or(QStringLiteral("Public links are not ready yet.")));
        if (done)
            done();
        return;
    }
    m_tunnelService->discardPendingReports();
    setPublicTunnelStatus(QuarryShareTunnelService::Status::preparing());

    const QuarryResult<QUrl> url = normalizedBrokerURL();
    if (!url) {
        failPublicTunnelStart(url.error().message);
        if (done)
            done();
        return;
    }
    const QString subdomain = normalizedTunnelSubdomain();
    m_appState.publicTunnel.requestedSubdomain = subdomain;
    Q_EMIT appStateChanged();

    QPointer<QuarryShareStore> self(this);
    m_tunnelService->reserveTunnel(*url, subdomain, m_appState.port, m_appState.installationID,
                                   [self, done](QuarryResult<ReservationResponse> reservation) {
                                       if (!self)
                                           return;
                                       if (!reservation)
                                           self->failPublicTunnelStart(reservation.error().message);
                                       else
                                           self->finishPublicTunnelStart(*reservation);
                                       if (done)
                                           done();
                                   });
}

void QuarryShareStore::finishPublicTunnelStart(const ReservationResponse& reservation) {
    const QuarryResult<void> stored = QuarryShareKeychain::save(reservation.token, tunnelTokenAccount());
    if (!stored) {
        failPublicTunnelStart(stored.error().message);
        return;
    }
    QuarrySharePublicTunnel& tunnel = m_appState.publicTunnel;
    tunnel.hostname = reservation.hostname;
    tunnel.tunnelID = reservation.tunnelID;
    tunnel.isEnabled = true;
    tunnel.lastError.reset();
    tunnel.lastStartedAt = QDateTime::currentDateTimeUtc();
    Q_EMIT appStateChanged();
    save();

    const QuarryResult<void> started = m_tunnelService->start(reservation.token, reservation.hostname);
    if (!started) {
        failPublicTunnelStart(started.error().message);
        return;
    }
    setStatusMessage(QStringLiteral("Public link is online at https://%1/.").arg(reservation.hostname));
}

void QuarryShareStore::failPublicTunnelStart(const QString& description) {
    // Reports the service issued before this failure must not replace it when they arrive.
    m_tunnelService->discardPendingReports();
    setPublicTunnelStatus(QuarryShareTunnelService::Status::failed(description));
    m_appState.publicTunnel.lastError = description;
    Q_EMIT appStateChanged();
    save();
    setErrorMessage(description);
}

void QuarryShareStore::stopPublicTunnel() {
    m_tunnelService->stop();
    m_appState.publicTunnel.isEnabled = false;
    Q_EMIT appStateChanged();
    save();
    setStatusMessage(QStringLiteral("Public link is off."));
}

void QuarryShareStore::resumePublicTunnelIfNeeded() {
    const QuarrySharePublicTunnel& tunnel = m_appState.publicTunnel;
    if (!tunnel.isEnabled || !tunnel.hostname)
        return;
    const QuarryResult<std::optional<QString>> token = QuarryShareKeychain::read(tunnelTokenAccount());
    if (!token || !token->has_value())
        return;
    const QString hostname = *tunnel.hostname;
    const QuarryResult<void> started = m_tunnelService->start(**token, hostname);
    if (!started) {
        m_tunnelService->discardPendingReports();
        setPublicTunnelStatus(QuarryShareTunnelService::Status::failed(started.error().message));
        m_appState.publicTunnel.lastError = started.error().message;
        Q_EMIT appStateChanged();
        save();
    }
}
