#include "sources/share_utilities.h"
#include "support/printing.h"
#include "support/test_support.h"

#include <QHostAddress>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>

using namespace QuarryShareUtilities;

namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

// An enumeration entry carrying a real socket address of either family.
NetworkInterface entry(unsigned flags, const char* address) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    const bool v4 = inet_pton(AF_INET, address, &in->sin_addr) == 1;
    storage.ss_family = v4 ? AF_INET : AF_INET6;
    if (!v4)
        inet_pton(AF_INET6, address, &in6->sin6_addr);
    return {
        QStringLiteral("if"), flags,
        QByteArray(reinterpret_cast<const char*>(&storage), v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6))};
}

// The computer name that a machine-info file with these contents gives on the host "host-1".
QString nameFrom(const QByteArray& contents) {
    const QString path = testing_support::sandboxRoot() + QStringLiteral("/machine-info");
    testing_support::writeFile(path, contents);
    return computerName(path, QStringLiteral("host-1"));
}

} // namespace

TEST(LocalOrigins, LoopbackFirstThenTheComputerNameThenEachRunningLanAddressOnce) {
    const QList<NetworkInterface> entries{
        entry(kUp, "192.168.1.9"),
        entry(kUp | IFF_LOOPBACK, "127.0.0.1"),
        entry(IFF_UP, "172.16.0.1"), // up but not running
        entry(IFF_RUNNING, "172.16.0.2"),
        entry(kUp, "fe80::1"),
        entry(kUp, "::ffff:10.9.9.9"),
        {QStringLiteral("tun0"), kUp, QByteArray()},                  // no address
        {QStringLiteral("odd0"), kUp, QByteArray("\x02\x00\x01", 3)}, // too short to be one
        entry(kUp, "192.168.1.10"),
        entry(kUp, "10.0.0.5"),
        entry(kUp, "10.0.0.5")};
    // Sorted as text, duplicates kept.
    EXPECT_EQ(localIPv4Addresses(entries),
              (QStringList{"10.0.0.5", "10.0.0.5", "192.168.1.10", "192.168.1.9"}));
    EXPECT_EQ(localOrigins(48173, QStringLiteral("Office Laptop 2"), entries),
              (QStringList{"http://127.0.0.1:48173/", "http://localhost:48173/",
                           "http://Office-Laptop-2.local:48173/", "http://10.0.0.5:48173/",
                           "http://192.168.1.10:48173/", "http://192.168.1.9:48173/"}));
    EXPECT_EQ(localOrigins(8080, QString(), {entry(kUp, "192.168.1.20")}),
              (QStringList{"http://127.0.0.1:8080/", "http://localhost:8080/", "http://192.168.1.20:8080/"}));
    // Only spaces change in the name; a name that repeats an earlier origin is listed once.
    EXPECT_EQ(localOrigins(1, QStringLiteral("Ann's  Mac"), {}).last(),
              QStringLiteral("http://Ann's--Mac.local:1/"));
    EXPECT_EQ(localOrigins(9, QStringLiteral("localhost"), {}).size(), 3);

    // This machine: its loopback interface is enumerated but never listed.
    const QList<NetworkInterface> real = networkInterfaces();
    EXPECT_TRUE(
        std::any_of(real.cbegin(), real.cend(), [](const auto& one) { return one.flags & IFF_LOOPBACK; }));
    for (const QString& address : localIPv4Addresses())
        EXPECT_FALSE(QHostAddress(address).isLoopback()) << address.toStdString();
}

TEST(ComputerName, PrettyNameFromMachineInfoElseTheHostName) {
    EXPECT_EQ(nameFrom("# hostnamectl\nPRETTY_HOSTNAME=\"Office Laptop 2\"\nICON_NAME=laptop\n"),
              "Office Laptop 2");
    EXPECT_EQ(nameFrom("PRETTY_HOSTNAME=\"Ann's \\\"Mac\\\"\"\n"), "Ann's \"Mac\"");
    EXPECT_EQ(nameFrom("PRETTY_HOSTNAME=\n"), "host-1");
    EXPECT_EQ(nameFrom("#PRETTY_HOSTNAME=\"Old\"\n"), "host-1");
    EXPECT_EQ(computerName(testing_support::sandboxRoot() + QStringLiteral("/none"), "host-1"), "host-1");
}
