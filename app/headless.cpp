#include "app/headless.h"

#include "core/diagnostics.h"
#include "store/quarry_share_store.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int signal) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop through a socket pair, so the store is torn down normally
// (a running cloudflared child is stopped with it); SIGHUP reads Syncthing's configuration again.
bool installSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGHUP, &action, nullptr) == 0;
}

void reportChanges(QuarryShareStore& store) {
    QObject::connect(&store, &QuarryShareStore::statusMessageChanged, &store, [&store] {
        if (const auto message = store.statusMessage())
            logDiagnostic(*message);
    });
    QObject::connect(&store, &QuarryShareStore::errorMessageChanged, &store, [&store] {
        if (const auto message = store.errorMessage())
            logDiagnostic(QStringLiteral("Error: ") + *message);
    });
    QObject::connect(&store, &QuarryShareStore::serverStateChanged, &store, [&store] {
        const QuarryShareWebServer::State state = store.serverState();
        if (state.kind == QuarryShareWebServer::State::Kind::running)
            logDiagnostic(QStringLiteral("Listening on port %1.").arg(state.port));
    });
    QObject::connect(&store, &QuarryShareStore::publicTunnelStatusChanged, &store, [&store] {
        logDiagnostic(QStringLiteral("Public link: %1.").arg(store.publicTunnelStatus().label()));
    });
}

} // namespace

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brightloom Share"));
    if (!installSignals()) {
        logDiagnostic(QStringLiteral("Could not install the signal handlers."));
        return 1;
    }

    int status = 0;
    {
        QuarryShareStore store;
        QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
            char byte = 0;
            if (::read(signalPipe[0], &byte, 1) != 1)
                return;
            if (byte == SIGHUP) {
                logDiagnostic(QStringLiteral("Refreshing spaces."));
                store.refreshImportedFolders();
                return;
            }
            logDiagnostic(QStringLiteral("Quitting on signal %1.").arg(int(byte)));
            app.quit();
        });
        reportChanges(store);
        logDiagnostic(
            QStringLiteral("Running without windows; state document: %1").arg(store.persistenceURL()));
        QMetaObject::invokeMethod(
            &store, [&store] { store.start(); }, Qt::QueuedConnection);
        status = app.exec();
    }
    return status;
}
