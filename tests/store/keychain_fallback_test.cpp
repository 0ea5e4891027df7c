#include "store/keychain.h"
#include "store/keychain_file.h"
#include "support/private_session_bus.h"
#include "support/test_support.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

mode_t fileMode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// No session bus can be found: no address, no X display to start one for, no socket in the runtime
// folder. Each case starts without a secrets file and leaves none behind.
class KeychainFallback : public ::testing::Test {
protected:
    void SetUp() override {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DISPLAY");
        QFile::remove(testing_support::sandboxRoot() + "/runtime/bus");
        QFile::remove(path);
    }
    void TearDown() override { QFile::remove(path); }

    const QString path = QuarryKeychainFile::filePath();
};

} // namespace

TEST_F(KeychainFallback, WithoutASessionBusOrASecretServiceSecretsLiveInAFileOnlyTheUserCanRead) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(*QuarryShareKeychain::read("token:A"), std::nullopt);
    EXPECT_FALSE(QFile::exists(path)) << "reading must not create the file";

    // Even under a permissive umask the file is the user's alone.
    const mode_t previous = ::umask(0);
    ASSERT_TRUE(QuarryShareKeychain::save("first", "token:A").ok());
    ::umask(previous);
    EXPECT_EQ(fileMode(path), 0600u);
    ASSERT_TRUE(QuarryShareKeychain::save("other ✓", "token:B").ok());
    ASSERT_TRUE(QuarryShareKeychain::save("second", "token:A").ok());
    const QString output = QString::fromUtf8(testing::internal::GetCapturedStdout());

    EXPECT_EQ(*QuarryShareKeychain::read("token:A"), "second");
    EXPECT_EQ(*QuarryShareKeychain::read("token:B"), "other ✓");

    QuarryShareKeychain::remove("token:A");
    EXPECT_EQ(*QuarryShareKeychain::read("token:A"), std::nullopt);
    EXPECT_EQ(*QuarryShareKeychain::read("token:B"), "other ✓");

    // Said once, naming the file.
    EXPECT_EQ(output.count("[brightloom Share] "), 1) << output.toStdString();
    EXPECT_TRUE(output.contains(path)) << output.toStdString();

    // A file that others could read is made private by the next save.
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    ASSERT_TRUE(QuarryShareKeychain::save("third", "token:A").ok());
    EXPECT_EQ(fileMode(path), 0600u);

    // A bus without a Secret Service on it: the file as well.
    ASSERT_TRUE(testing_support::usePrivateSessionBus());
    ASSERT_TRUE(QuarryShareKeychain::save("kept locally", "token:C").ok());
    EXPECT_EQ(*QuarryShareKeychain::read("token:C"), "kept locally");
    EXPECT_EQ(*QuarryShareKeychain::read("token:A"), "third");
}
