#include "app/command_line.h"

CommandLine CommandLine::parse(const QStringList& arguments) {
    CommandLine result;
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return {Mode::help, {}};
        if (argument == QLatin1String("--version"))
            return {Mode::version, {}};
        if (argument == QLatin1String("--headless"))
            result.mode = Mode::headless;
        else
            return {Mode::invalid, argument};
    }
    return result;
}

QString CommandLine::helpText() {
    return QStringLiteral("Usage: brightloom-share [--headless | --help | --version]\n"
                          "\n"
                          "Publishes folders of this computer to web browsers, read-only.\n"
                          "\n"
                          "  (no option)  start the desktop application\n"
                          "  --headless   serve the stored shares without windows; resumes the public link\n"
                          "               if it was on; diagnostics go to standard output; SIGHUP\n"
                          "               reads Syncthing's folders again; SIGINT or SIGTERM quits\n"
                          "  --help       show this text\n"
                          "  --version    show the version\n");
}

QString CommandLine::versionText() {
    return QStringLiteral("brightloom Share %1\n").arg(QStringLiteral(BRIGHTLOOM_VERSION));
}
