#pragma once

#include <QString>

// Desktop notifications through the session's org.freedesktop.Notifications service. Sent without
// waiting for an answer; without a notification service nothing is shown and nothing fails.
namespace QuarryDesktopNotifier {

void notify(const QString& summary, const QString& body);

} // namespace QuarryDesktopNotifier
