#include "model/private_session_bus.h"

#include "support/test_support.h"

#include <gio/gio.h>
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

} // namespace

PrivateSessionBus::PrivateSessionBus(bool withSecretService) {
    const QString configuration = sandboxRoot() + QStringLiteral("/session-bus.conf");
    writeFile(configuration,
              QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                             "<auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                             "</policy></busconfig>")
                  .arg(sandboxRoot() + QStringLiteral("/runtime"))
                  .toUtf8());
    m_bus = startOwnedChild(QStringLiteral("dbus-daemon"),
                            {QStringLiteral("--config-file=") + configuration, QStringLiteral("--nofork"),
                             QStringLiteral("--print-address=1")});
    if (!m_bus || !waitUntil([&] { return m_bus->canReadLine(); }))
        return;
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->readLine().trimmed());
    if (withSecretService) {
        // The keyring reads the login keyring's password from standard input up to its end.
        m_keyring = startOwnedChild(QStringLiteral("gnome-keyring-daemon"),
                                    {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                                     QStringLiteral("--components=secrets")});
        if (!m_keyring)
            return;
        m_keyring->write("test-password");
        m_keyring->closeWriteChannel();
    }
    m_ready = !withSecretService || waitUntil(secretServiceOnBus);
}

PrivateSessionBus::~PrivateSessionBus() {
    // Let the in-process client go first, so the daemon's end takes nothing with it.
    secret_service_disconnect();
    if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        g_object_unref(bus);
    }
    stopChild(m_keyring);
    stopChild(m_bus);
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
}

} // namespace testing_support
