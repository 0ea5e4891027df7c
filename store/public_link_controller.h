#pragma once

#include "core/error.h"
#include "core/share_records.h"
#include "tunnel/tunnel_service.h"

#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QuarryShareStore;

// The public link: decides when it may be published, asks the broker whether a subdomain is free,
// reserves it, keeps the tunnel token in the secret store, starts and stops cloudflared through the
// tunnel service, resumes the link at start-up, and reports each step through the store's messages. Its
// settings live in the store's state document. Lives on the main thread.
class QuarryPublicLinkController : public QObject {
    Q_OBJECT
    // The tunnel status's kind ("preparing", "running", "failed", "stopped") and its label.
    Q_PROPERTY(QString publicTunnelStatusName READ publicTunnelStatusName NOTIFY publicTunnelStatusChanged)
    Q_PROPERTY(QString publicTunnelStatusLabel READ publicTunnelStatusLabel NOTIFY publicTunnelStatusChanged)
    // The user's intent, kept in the state document: on after a successful start until turned off.
    Q_PROPERTY(bool publicTunnelEnabled READ publicTunnelEnabled NOTIFY publicTunnelEnabledChanged)
    Q_PROPERTY(QString publicTunnelSubdomain READ publicTunnelSubdomain WRITE setPublicTunnelSubdomain NOTIFY
                   publicTunnelSubdomainChanged)
    Q_PROPERTY(QString publicTunnelBrokerURL READ publicTunnelBrokerURL WRITE setPublicTunnelBrokerURL NOTIFY
                   publicTunnelBrokerURLChanged)
    Q_PROPERTY(QString publicTunnelHostname READ publicTunnelHostnameText NOTIFY publicTunnelHostnameChanged)
    Q_PROPERTY(QString publicTunnelURL READ publicTunnelURLText NOTIFY publicTunnelHostnameChanged)
    // "." and the host name after its first label, or the broker's default domain.
    Q_PROPERTY(
        QString publicTunnelDomainSuffix READ publicTunnelDomainSuffix NOTIFY publicTunnelHostnameChanged)
    Q_PROPERTY(bool publicTunnelCanStart READ publicTunnelCanStart NOTIFY publicTunnelRequirementsChanged)
    Q_PROPERTY(QString publicTunnelRequirementMessage READ publicTunnelRequirementMessageText NOTIFY
                   publicTunnelRequirementsChanged)

public:
    // Public domain the broker hands out when no host name has been granted yet.
    static constexpr const char* defaultPublicDomain = "brightloom.app";

    QuarryPublicLinkController(QuarryShareStore& store, std::unique_ptr<QuarryShareTunnelService> tunnel,
                               std::function<QString()> computerName, QObject* parent = nullptr);
    // Ends a running cloudflared child with the application.
    ~QuarryPublicLinkController() override;

    QuarryShareTunnelService::Status publicTunnelStatus() const { return m_status; }
    QString publicTunnelSubdomain() const;
    // Stores the text's slug, and saves.
    void setPublicTunnelSubdomain(const QString& text);
    QString publicTunnelBrokerURL() const;
    // Stores the text trimmed, and saves.
    void setPublicTunnelBrokerURL(const QString& text);
    std::optional<QString> publicTunnelHostname() const;
    std::optional<QString> publicTunnelURL() const;
    bool publicTunnelCanStart() const;
    std::optional<QString> publicTunnelRequirementMessage() const;
    // Looks again for what publishing needs (cloudflared may have been installed meanwhile).
    void refreshRequirements();

    // Asynchronous: each outcome arrives as a status, a message or an error of the store.
    Q_INVOKABLE void checkPublicTunnelAvailability();
    Q_INVOKABLE void startPublicTunnel();
    Q_INVOKABLE void stopPublicTunnel();
    // Starts cloudflared again with the stored token when the link was on, without asking the broker.
    void resumePublicTunnelIfNeeded();

    QuarryResult<QUrl> normalizedBrokerURL() const;
    QString normalizedTunnelSubdomain() const;
    // The secret-store account of the tunnel token: "publicTunnelToken:" + the installation id.
    QString tunnelTokenAccount() const;

Q_SIGNALS:
    void publicTunnelStatusChanged();
    void publicTunnelEnabledChanged();
    void publicTunnelSubdomainChanged();
    void publicTunnelBrokerURLChanged();
    void publicTunnelHostnameChanged();
    void publicTunnelRequirementsChanged();

private:
    void setPublicTunnelStatus(const QuarryShareTunnelService::Status& status);
    void announceSettings();
    void finishPublicTunnelStart(const QuarryTunnelBroker::ReservationResponse& reservation);
    void failPublicTunnelStart(const QString& description);
    QString publicTunnelStatusName() const { return m_status.name(); }
    QString publicTunnelStatusLabel() const { return m_status.label(); }
    bool publicTunnelEnabled() const;
    QString publicTunnelHostnameText() const { return publicTunnelHostname().value_or(QString()); }
    QString publicTunnelURLText() const { return publicTunnelURL().value_or(QString()); }
    QString publicTunnelDomainSuffix() const;
    QString publicTunnelRequirementMessageText() const {
        return publicTunnelRequirementMessage().value_or(QString());
    }

    QuarryShareStore& m_store;
    std::unique_ptr<QuarryShareTunnelService> m_tunnel;
    std::function<QString()> m_computerName;
    QuarryShareTunnelService::Status m_status = QuarryShareTunnelService::Status::stopped();
    // The settings and the requirement last announced, to tell the windows only what changed.
    QuarrySharePublicTunnel m_announced;
    std::optional<QString> m_requirement;
};
