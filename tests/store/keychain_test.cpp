#include "store/keychain.h"
#include "store/keychain_file.h"
#include "support/private_session_bus.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

const QString kService = QString::fromLatin1(QuarryShareKeychain::serviceName);

// Runs a command-line client against the private bus; its exit code (-1 when it did not finish)
// and what it printed.
std::pair<int, QByteArray> run(const QString& program, const QStringList& arguments,
                               const QByteArray& input = {}) {
    QProcess tool;
    tool.start(program, arguments);
    tool.write(input);
    tool.closeWriteChannel();
    const bool finished = tool.waitForFinished(20000); // if not, it is killed on the way out
    return {finished ? tool.exitCode() : -1, tool.readAllStandardOutput()};
}

std::pair<int, QByteArray> lookup(const QString& account) {
    return run("secret-tool", {"lookup", "service", kService, "account", account});
}

using SecretServiceKeychain = testing_support::SecretServiceSuite;

} // namespace

TEST_F(SecretServiceKeychain,
       SaveReplaceReadAndRemoveAreVisibleToOtherClientsAndALockedKeyringFailsReadably) {
    const QString account = "publicTunnelToken:6F1C2B7E-0D4A-4C3B-9E55-2A7D1F0B9C11";
    testing::internal::CaptureStdout();
    EXPECT_EQ(*QuarryShareKeychain::read(account), std::nullopt);

    ASSERT_TRUE(QuarryShareKeychain::save("token-one", account).ok());
    ASSERT_TRUE(QuarryShareKeychain::save("other", "another").ok());
    EXPECT_EQ(*QuarryShareKeychain::read(account), "token-one");
    EXPECT_EQ(lookup(account), std::make_pair(0, QByteArray("token-one")));

    // Saving again replaces the item rather than adding a second one.
    ASSERT_TRUE(QuarryShareKeychain::save("token-two ✓", account).ok());
    EXPECT_EQ(*QuarryShareKeychain::read(account), "token-two ✓");
    const auto [searched, items] =
        run("secret-tool", {"search", "--all", "service", kService, "account", account});
    EXPECT_EQ(items.count("secret = "), 1) << items.toStdString();

    QuarryShareKeychain::remove(account);
    QuarryShareKeychain::remove(account); // removing what is gone is no error
    EXPECT_EQ(*QuarryShareKeychain::read(account), std::nullopt);
    EXPECT_NE(lookup(account).first, 0);
    EXPECT_EQ(*QuarryShareKeychain::read("another"), "other");

    // Another service's item under the same account is not ours.
    ASSERT_EQ(
        run("secret-tool", {"store", "--label=y", "service", "org.example", "account", account}, "theirs")
            .first,
        0);
    EXPECT_EQ(*QuarryShareKeychain::read(account), std::nullopt);

    // With a Secret Service there is no fallback file and nothing to announce.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // A locked keyring (no prompt can unlock it here) fails readably, and is not taken for missing.
    ASSERT_EQ(run("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.secrets",
                                "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                                "array:objpath:/org/freedesktop/secrets/collection/login"})
                  .first,
              0);
    const QuarryResult<void> saved = QuarryShareKeychain::save("new", "another");
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().domain, "QuarryShareKeychain");
    EXPECT_NE(saved.error().code, 0);
    EXPECT_FALSE(saved.error().message.isEmpty());
    EXPECT_FALSE(QuarryShareKeychain::read("another").ok()) << "locked is not the same as missing";
    EXPECT_EQ(*QuarryShareKeychain::read("never-saved"), std::nullopt);
    EXPECT_FALSE(QFile::exists(QuarryKeychainFile::filePath()));
}
