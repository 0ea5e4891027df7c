#pragma once

#include <QProcess>
#include <QString>

#include <memory>

namespace testing_support {

// A D-Bus session daemon of the test's own, in the sandbox, with nothing activatable on it; optionally
// with GNOME Keyring serving the Secret Service there (login keyring unlocked, files in the sandbox).
// Its address becomes this process's session bus. The daemons stop with the object, and the kernel
// ends them should the test process die first.
class PrivateSessionBus {
public:
    explicit PrivateSessionBus(bool withSecretService);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    bool isReady() const { return m_ready; }

private:
    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_keyring;
    bool m_ready = false;
};

} // namespace testing_support
