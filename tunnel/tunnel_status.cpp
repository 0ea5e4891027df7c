#include "tunnel/tunnel_status.h"

QString QuarryTunnelStatus::label() const {
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

QString QuarryTunnelStatus::name() const {
    switch (kind) {
    case Kind::preparing:
        return QStringLiteral("preparing");
    case Kind::running:
        return QStringLiteral("running");
    case Kind::failed:
        return QStringLiteral("failed");
    case Kind::stopped:
        break;
    }
    return QStringLiteral("stopped");
}

QuarryTunnelStatus QuarryTunnelStatus::preparing() {
    return {Kind::preparing, QString()};
}

QuarryTunnelStatus QuarryTunnelStatus::running(const QString& hostname) {
    return {Kind::running, hostname};
}

QuarryTunnelStatus QuarryTunnelStatus::failed(const QString& message) {
    return {Kind::failed, message};
}

QuarryTunnelStatus QuarryTunnelStatus::stopped() {
    return {Kind::stopped, QString()};
}
