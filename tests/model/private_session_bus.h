#pragma once

#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

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

// The cases of a suite derived from this share one private Secret Service.
class SecretServiceSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_bus = std::make_unique<PrivateSessionBus>(true); }
    static void TearDownTestSuite() { s_bus.reset(); }
    void SetUp() override { ASSERT_TRUE(s_bus->isReady()) << "no private Secret Service"; }

private:
    static inline std::unique_ptr<PrivateSessionBus> s_bus;
};

} // namespace testing_support
