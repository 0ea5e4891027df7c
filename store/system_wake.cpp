#include "store/system_wake.h"

#include <QDBusConnection>

QuarrySystemWakeWatcher::QuarrySystemWakeWatcher(QObject* parent)
    : QObject(parent) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                SLOT(prepareForSleep(bool)));
}

void QuarrySystemWakeWatcher::prepareForSleep(bool sleeping) {
    if (!sleeping)
        Q_EMIT woke();
}
