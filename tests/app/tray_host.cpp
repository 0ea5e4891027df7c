#include "tray_host.h"

#include "core/mailbox.h"
#include "support/private_session_bus.h"

#include <QDBusConnection>
#include <QVariantMap>

#include <condition_variable>

#include <gtest/gtest.h>

namespace app_testing {

namespace {

constexpr char kConnection[] = "fake-desktop";

} // namespace

// org.kde.StatusNotifierWatcher with a host registered: what a panel with a tray publishes.
class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    explicit FakeWatcher(FakeDesktopServices& services)
        : m_services(services) {}
    bool hostRegistered() const { return true; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) {
        const std::lock_guard lock(m_services.m_lock);
        m_services.m_items.append(service);
    }
    void RegisterStatusNotifierHost(const QString&) {}

private:
    FakeDesktopServices& m_services;
};

// org.freedesktop.Notifications, recording what it is asked to show.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit FakeNotifications(FakeDesktopServices& services)
        : m_services(services) {}

public Q_SLOTS:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        const std::lock_guard lock(m_services.m_lock);
        m_services.m_shown.append(summary + "|" + body);
        return uint(m_services.m_shown.size());
    }

private:
    FakeDesktopServices& m_services;
};

FakeDesktopServices& FakeDesktopServices::instance() {
    static FakeDesktopServices* services = new FakeDesktopServices;
    return *services;
}

FakeDesktopServices::FakeDesktopServices() {
    EXPECT_TRUE(testing_support::usePrivateSessionBus());
    m_mailbox = new QuarryMailbox;
    m_watcher = new FakeWatcher(*this);
    m_notifications = new FakeNotifications(*this);
    for (QObject* object : {static_cast<QObject*>(m_mailbox), m_watcher, m_notifications})
        object->moveToThread(&m_thread);
    m_thread.start();
    onServiceThread([this] {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnection);
        bus.registerObject("/StatusNotifierWatcher", m_watcher, QDBusConnection::ExportAllContents);
        bus.registerObject("/org/freedesktop/Notifications", m_notifications,
                           QDBusConnection::ExportAllSlots);
        bus.registerService("org.freedesktop.Notifications");
    });
    setTrayPresent(true);
}

void FakeDesktopServices::onServiceThread(const std::function<void()>& work) {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    m_mailbox->post([&] {
        work();
        const std::lock_guard guard(lock);
        done = true;
        finished.notify_one();
    });
    std::unique_lock guard(lock);
    finished.wait(guard, [&] { return done; });
}

void FakeDesktopServices::setTrayPresent(bool present) {
    onServiceThread([present] {
        QDBusConnection bus(kConnection);
        if (present)
            bus.registerService("org.kde.StatusNotifierWatcher");
        else
            bus.unregisterService("org.kde.StatusNotifierWatcher");
    });
}

QStringList FakeDesktopServices::registeredItems() const {
    const std::lock_guard lock(m_lock);
    return m_items;
}

QStringList FakeDesktopServices::notifications() const {
    const std::lock_guard lock(m_lock);
    return m_shown;
}

void FakeDesktopServices::clear() {
    const std::lock_guard lock(m_lock);
    m_items.clear();
    m_shown.clear();
}

} // namespace app_testing

#include "tray_host.moc"
