#pragma once

#include <QObject>
#include <QStringList>
#include <QThread>

#include <functional>
#include <mutex>

class QuarryMailbox;

namespace app_testing {

// What a desktop offers the application on its session bus: a tray host (org.kde.StatusNotifierWatcher,
// which Qt asks whether a tray is there) and a notification server (org.freedesktop.Notifications),
// both answering from a thread of their own as a real desktop's processes would. Lives on the test
// process's private session bus until the process ends (it is never destroyed): Qt remembers its first
// answer about the tray for the whole process, so the host must be there before anything asks.
class FakeDesktopServices {
public:
    static FakeDesktopServices& instance();

    // Registers or withdraws the tray host, as a panel that starts or quits.
    void setTrayPresent(bool present);
    // The items that registered with the tray host, and the notifications shown ("summary|body").
    QStringList registeredItems() const;
    QStringList notifications() const;
    void clear();

private:
    FakeDesktopServices();
    void onServiceThread(const std::function<void()>& work);

    QThread m_thread;
    // Work for the service thread goes through it, as every hand-over between threads does.
    QuarryMailbox* m_mailbox = nullptr;
    QObject* m_watcher = nullptr;
    QObject* m_notifications = nullptr;
    mutable std::mutex m_lock;
    QStringList m_items;
    QStringList m_shown;

    friend class FakeWatcher;
    friend class FakeNotifications;
};

} // namespace app_testing
