#include "app/command_line.h"
#include "app/desktop.h"
#include "app/headless.h"

#include <QStringList>

#include <cstdio>

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine command = CommandLine::parse(arguments);
    switch (command.mode) {
    case CommandLine::Mode::help:
        std::fputs(CommandLine::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Mode::version:
        std::fputs(CommandLine::versionText().toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Mode::invalid:
        std::fprintf(stderr, "brightloom-share: unknown option %s\n\n%s",
                     command.problem.toLocal8Bit().constData(),
                     CommandLine::helpText().toLocal8Bit().constData());
        return 2;
    case CommandLine::Mode::headless:
        return runHeadless(argc, argv);
    case CommandLine::Mode::desktop:
        return runDesktop(argc, argv);
    }
    return 0;
}
