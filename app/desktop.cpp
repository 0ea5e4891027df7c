#include "app/desktop.h"

#include "app/quarry_share_app.h"
#include "app/signal_watcher.h"
#include "app/single_instance.h"
#include "core/descriptor_limit.h"
#include "core/diagnostics.h"

#include <QApplication>
#include <QIcon>

int runDesktop(int argc, char** argv, QuarrySingleInstance& instance, bool hidden) {
    QuarryDescriptorLimit::raiseToHardLimit();
    QApplication::setApplicationName(QStringLiteral("brightloom Share"));
    QApplication::setApplicationDisplayName(QStringLiteral("brightloom Share"));
    QApplication::setOrganizationName(QStringLiteral("brightloom"));
    QApplication::setApplicationVersion(QStringLiteral(BRIGHTLOOM_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("app.brightloom.share"));
    // A QApplication, not a QGuiApplication: the tray icon and its menu are Qt Widgets.
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/QuarryDesktop/app.brightloom.share.svg")));
    QuarryShareApp::useWindowStyle();

    // Declared before the shell, so it outlives the shell's teardown: a signal during it waits its turn.
    QuarrySignalWatcher signalWatcher;
    QuarryShareApp shell;
    // Logging out sends SIGTERM (or SIGHUP): end as "Quit" does, the public link's child with us.
    QObject::connect(&signalWatcher, &QuarrySignalWatcher::received, &shell, [&shell](int signal) {
        logDiagnostic(QStringLiteral("Quitting on signal %1.").arg(signal));
        shell.quit();
    });
    instance.listen([&shell](const QStringList& arguments) {
        logDiagnostic(QStringLiteral("Another start found this one running and handed over to it."));
        return shell.handleLaterStart(arguments);
    });
    if (!shell.openWindows(hidden))
        return 1;
    return application.exec();
}
