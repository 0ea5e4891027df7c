#include "app/headless.h"

#include "app/server_process.h"
#include "app/signal_watcher.h"
#include "app/single_instance.h"
#include "core/diagnostics.h"
#include "store/quarry_share_store.h"

#include <QCoreApplication>

#include <csignal>

namespace {

void reportChanges(QuarryShareStore& store) {
    QObject::connect(&store, &QuarryShareStore::statusMessageChanged, &store, [&store] {
        if (const auto message = store.statusMessage())
            logDiagnostic(*message);
    });
    QObject::connect(&store, &QuarryShareStore::errorMessageChanged, &store, [&store] {
        if (const auto message = store.errorMessage())
            logDiagnostic(QStringLiteral("Error: ") + *message);
    });
    QObject::connect(&store, &QuarryShareStore::shareEnded, &store, [](const QString& name) {
        logDiagnostic(QStringLiteral("%1 reached its end and is no longer shared.").arg(name));
    });
    QuarryServerController* server = store.server();
    QObject::connect(server, &QuarryServerController::serverStateChanged, &store, [server] {
        const QuarryShareWebServer::State state = server->serverState();
        if (state.kind == QuarryShareWebServer::State::Kind::running)
            logDiagnostic(QStringLiteral("Listening on port %1.").arg(state.port));
    });
    QuarryPublicLinkController* link = store.publicLink();
    QObject::connect(link, &QuarryPublicLinkController::publicTunnelStatusChanged, &store, [link] {
        logDiagnostic(QStringLiteral("Public link: %1.").arg(link->publicTunnelStatus().label()));
    });
}

} // namespace

int runHeadless(int argc, char** argv, QuarrySingleInstance& instance) {
    prepareServerProcess();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brightloom Share"));
    // SIGINT and SIGTERM end the event loop, so the store is torn down normally (a running cloudflared
    // child is stopped with it); SIGHUP reads Syncthing's configuration again.
    QuarrySignalWatcher signalWatcher;
    if (!signalWatcher.isInstalled()) {
        logDiagnostic(QStringLiteral("Could not install the signal handlers."));
        return 1;
    }

    int status = 0;
    {
        QuarryShareStore store;
        QObject::connect(&signalWatcher, &QuarrySignalWatcher::received, &app, [&](int signal) {
            if (signal == SIGHUP) {
                logDiagnostic(QStringLiteral("Refreshing spaces."));
                store.refreshImportedFolders();
                return;
            }
            logDiagnostic(QStringLiteral("Quitting on signal %1.").arg(signal));
            app.quit();
        });
        reportChanges(store);
        instance.listen([](const QStringList&) {
            logDiagnostic(QStringLiteral("Another start found this one running; it has no windows to show."));
            return QStringLiteral("headless");
        });
        logDiagnostic(
            QStringLiteral("Running without windows; state document: %1").arg(store.persistenceURL()));
        QMetaObject::invokeMethod(
            &store, [&store] { store.start(); }, Qt::QueuedConnection);
        status = app.exec();
    }
    return status;
}
