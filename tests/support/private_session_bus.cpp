#include "support/private_session_bus.h"

#include "support/test_support.h"

#include <libsecret/secret.h>

#include <csignal>
#include <sys/prctl.h>

namespace testing_support {

namespace {

std::unique_ptr<QProcess> startOwnedChild(const QString& program, const QStringList& arguments) {
    auto child = std::make_unique<QProcess>();
    child->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    child->start(program, arguments);
    return child->waitForStarted(10000) ? std::move(child) : nullptr;
}

void stopChild(std::unique_ptr<QProcess>& child) {
    if (!child)
        return;
    child->terminate();
    if (!child->waitForFinished(5000))
        child->kill();
    child->waitForFinished(5000);
    child.reset();
}

bool secretServiceOnBus() {
    QProcess query;
    query.start(QStringLiteral("dbus-send"),
                {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                 QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                 QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                 QStringLiteral("string:org.freedesktop.secrets")});
    return query.waitForFinished(5000) && query.readAllStandardOutput().contains("boolean true");
}

// Kept until the process ends, when the kernel ends the daemon too.
QProcess* s_sessionBus = nullptr;

QByteArray startSessionBus() {
    // In the process's sandbox, not the test's: the socket must outlive every test.
    const QString folder = processSandboxRoot();
    const QString configuration = folder + QStringLiteral("/session-bus.conf");
    writeFile(configuration, QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                            "<auth>EXTERNAL</auth><policy context=\"default\">"
                                            "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                            "<allow own=\"*\"/></policy></busconfig>")
                                 .arg(folder)
                                 .toUtf8());
    s_sessionBus = startOwnedChild(QStringLiteral("dbus-daemon"),
                                   {QStringLiteral("--config-file=") + configuration,
                                    QStringLiteral("--nofork"), QStringLiteral("--print-address=1")})
                       .release();
    if (!s_sessionBus || !waitUntil([] { return s_sessionBus->canReadLine(); }))
        return {};
    return s_sessionBus->readLine().trimmed();
}

} // namespace

bool usePrivateSessionBus() {
    static const QByteArray address = startSessionBus();
    if (address.isEmpty())
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    return true;
}

PrivateSecretService::PrivateSecretService() {
    if (!usePrivateSessionBus())
        return;
    // The keyring reads the login keyring's password from standard input up to its end.
    m_keyring = startOwnedChild(
        QStringLiteral("gnome-keyring-daemon"),
        {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
    if (!m_keyring)
        return;
    m_keyring->write("test-password");
    m_keyring->closeWriteChannel();
    m_ready = waitUntil(secretServiceOnBus);
}

PrivateSecretService::~PrivateSecretService() {
    // The client forgets this keyring's objects before the next test's keyring takes the name.
    secret_service_disconnect();
    stopChild(m_keyring);
    waitUntil([] { return !secretServiceOnBus(); });
}

} // namespace testing_support
