#include "app/desktop.h"

#include "app/quarry_share_app.h"

#include <QGuiApplication>
#include <QIcon>

int runDesktop(int argc, char** argv) {
    QGuiApplication::setApplicationName(QStringLiteral("brightloom Share"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("brightloom Share"));
    QGuiApplication::setOrganizationName(QStringLiteral("brightloom"));
    QGuiApplication::setApplicationVersion(QStringLiteral(BRIGHTLOOM_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("app.brightloom.share"));
    QGuiApplication application(argc, argv);
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/BrightloomShare/app.brightloom.share.svg")));
    QuarryShareApp::useWindowStyle();

    QuarryShareApp shell;
    if (!shell.openWindows())
        return 1;
    return application.exec();
}
