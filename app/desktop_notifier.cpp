#include "app/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace QuarryDesktopNotifier {

void notify(const QString& summary, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // The desktop entry lets the notification server show our name and icon.
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("app.brightloom.share")}};
    message << QStringLiteral("brightloom Share") << uint(0) << QStringLiteral("app.brightloom.share")
            << summary << body << QStringList() << hints << int(-1);
    bus.send(message);
}

} // namespace QuarryDesktopNotifier
