// brightloom-share-serve: `brightloom-share serve` without the desktop's libraries. The application
// execs it with its own arguments (app/main.cpp), so the process, its pid, its standard streams and its
// signals stay the ones the caller started.
#include "app/command_line.h"
#include "app/serve_command.h"

#include <QStringList>

#include <cstdio>

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QuarryCommandLine command = QuarryCommandLine::parse(arguments);
    if (command.mode != QuarryCommandLine::Mode::serve) {
        std::fputs("brightloom-share-serve: run it as brightloom-share serve [options] FOLDER...\n", stderr);
        return 2;
    }
    return runServe(argc, argv, command.serve);
}
