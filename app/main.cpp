#include "app/command_line.h"
#include "app/desktop.h"
#include "app/headless.h"
#include "app/serve_command.h"
#include "app/single_instance.h"
#include "core/app_paths.h"
#include "core/diagnostics.h"

#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

namespace {

// A later start for the same state folder: the running one gets the arguments; no second server.
int handOver(const QuarrySingleInstance& instance, const QStringList& arguments) {
    const std::optional<QString> reply = instance.handOver(arguments.mid(1), std::chrono::seconds(10));
    if (!reply) {
        logDiagnostic(QStringLiteral("brightloom Share is already running for this state folder but does not "
                                     "answer; not starting another."));
        return 1;
    }
    if (*reply == QLatin1String("headless"))
        logDiagnostic(QStringLiteral("brightloom Share is already running without windows for this state "
                                     "folder; not starting another."));
    else
        logDiagnostic(QStringLiteral("brightloom Share is already running; handed over to it."));
    return 0;
}

// `serve` runs as brightloom-share-serve, which loads none of the desktop's libraries: the same process
// then holds about 10 MiB less for as long as it serves. Returns only when that program is not there
// (a copy of the executable alone), and this one serves instead.
void becomeLeanServer(char** argv) {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return;
    self[length] = '\0';
    const QString folder = QFileInfo(QString::fromLocal8Bit(self)).absolutePath();
    for (const QString& candidate :
         {folder + QStringLiteral("/brightloom-share-serve"),
          folder + QStringLiteral("/" BRIGHTLOOM_SERVE_FROM_BIN "/brightloom-share-serve")}) {
        const QByteArray program = candidate.toLocal8Bit();
        if (::access(program.constData(), X_OK) == 0)
            ::execv(program.constData(), argv);
    }
}

} // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QuarryCommandLine command = QuarryCommandLine::parse(arguments);
    switch (command.mode) {
    case QuarryCommandLine::Mode::help:
        std::fputs(QuarryCommandLine::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    case QuarryCommandLine::Mode::version:
        std::fputs(QuarryCommandLine::versionText().toLocal8Bit().constData(), stdout);
        return 0;
    case QuarryCommandLine::Mode::invalid:
        std::fprintf(stderr, "brightloom-share: %s\n\n%s", command.problem.toLocal8Bit().constData(),
                     QuarryCommandLine::helpText().toLocal8Bit().constData());
        return 2;
    case QuarryCommandLine::Mode::serve:
        becomeLeanServer(argv);
        return runServe(argc, argv, command.serve);
    case QuarryCommandLine::Mode::headless:
    case QuarryCommandLine::Mode::desktop:
        break;
    }
    // One application per user and state folder, with or without windows.
    QuarrySingleInstance instance(QFileInfo(QuarryShareUtilities::appStateURL()).absolutePath());
    if (instance.isRunningElsewhere())
        return handOver(instance, arguments);
    if (command.mode == QuarryCommandLine::Mode::headless)
        return runHeadless(argc, argv, instance);
    return runDesktop(argc, argv, instance, command.hidden);
}
