#pragma once

#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

namespace testing_support {

// Makes a D-Bus session daemon of the test process's own (in its sandbox, with nothing activatable on
// it) this process's session bus, starting it on first use. It lives as long as the process: a client
// library keeps its first session connection for good, so every test must meet the same bus. False
// when it cannot be started.
bool usePrivateSessionBus();

// GNOME Keyring serving the Secret Service on the private session bus, with an unlocked login keyring
// whose files lie in the running test's HOME; it stops with the object, and the kernel ends it should
// the test process die first.
class PrivateSecretService {
public:
    PrivateSecretService();
    ~PrivateSecretService();
    PrivateSecretService(const PrivateSecretService&) = delete;
    PrivateSecretService& operator=(const PrivateSecretService&) = delete;

    bool isReady() const { return m_ready; }

private:
    std::unique_ptr<QProcess> m_keyring;
    bool m_ready = false;
};

// Each case of a suite derived from this gets a Secret Service of its own, so that one case locking or
// filling the keyring never changes what the next one meets.
class SecretServiceSuite : public ::testing::Test {
protected:
    void SetUp() override {
        m_service = std::make_unique<PrivateSecretService>();
        ASSERT_TRUE(m_service->isReady()) << "no private Secret Service";
    }
    void TearDown() override { m_service.reset(); }

private:
    std::unique_ptr<PrivateSecretService> m_service;
};

} // namespace testing_support
