#pragma once

#include <QString>

// The public link's condition as the cloudflared supervisor reports it: preparing, running(hostname),
// failed(message) or stopped. Known to the store and the windows as QuarryShareTunnelService::Status.
struct QuarryTunnelStatus {
    enum class Kind { preparing, running, failed, stopped };
    Kind kind = Kind::stopped;
    QString text; // the hostname when running, the message when failed

    // "Starting", "Online", "Needs attention", "Off".
    QString label() const;
    // "preparing", "running", "failed", "stopped", as the windows tell the kinds apart.
    QString name() const;
    static QuarryTunnelStatus preparing();
    static QuarryTunnelStatus running(const QString& hostname);
    static QuarryTunnelStatus failed(const QString& message);
    static QuarryTunnelStatus stopped();
    bool operator==(const QuarryTunnelStatus&) const = default;
};
