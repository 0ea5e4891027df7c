#include "app/command_line.h"

namespace {

QuarryCommandLine invalid(const QString& problem) {
    QuarryCommandLine result;
    result.mode = QuarryCommandLine::Mode::invalid;
    result.problem = problem;
    return result;
}

// `serve [--port N] [--password TEXT] [--name TEXT] [--slug TEXT] [--until TIME] [--no-qr] FOLDER...`.
// A name, a slug and an end belong to the folder after them; a password to every folder after it, until the
// next one (an empty one ends it), so that `--password x a b` never leaves b open by surprise.
QuarryCommandLine parseServe(const QStringList& arguments) {
    QuarryCommandLine result;
    result.mode = QuarryCommandLine::Mode::serve;
    QuarryServeFolder next;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        const bool isOption = !optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1;
        if (!isOption) {
            next.path = argument;
            result.serve.folders.append(next);
            next.name.reset();
            next.slug.reset();
            next.availableUntil.reset();
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            result.mode = QuarryCommandLine::Mode::help;
            return result;
        }
        if (argument == QLatin1String("--no-qr")) {
            result.serve.showQRCode = false;
            continue;
        }
        const bool takesValue = argument == QLatin1String("--port") || argument == QLatin1String("--name") ||
                                argument == QLatin1String("--slug") ||
                                argument == QLatin1String("--password") ||
                                argument == QLatin1String("--until");
        if (!takesValue)
            return invalid(QStringLiteral("unknown option %1").arg(argument));
        if (i + 1 >= arguments.size())
            return invalid(QStringLiteral("%1 needs a value").arg(argument));
        const QString value = arguments.at(++i);
        if (argument == QLatin1String("--port")) {
            bool ok = false;
            const int port = value.toInt(&ok);
            if (!ok || port < 0 || port > 65535)
                return invalid(QStringLiteral("--port takes a number from 0 to 65535, not %1").arg(value));
            result.serve.port = port;
        } else if (argument == QLatin1String("--name")) {
            next.name = value;
        } else if (argument == QLatin1String("--slug")) {
            next.slug = value;
        } else if (argument == QLatin1String("--until")) {
            // Local time unless the text names its zone ("Z" or an offset).
            const QDateTime end = QDateTime::fromString(value, Qt::ISODate);
            if (!end.isValid())
                return invalid(
                    QStringLiteral("--until takes a date and time like 2026-12-24T18:00, not %1").arg(value));
            next.availableUntil = end.toUTC();
        } else {
            next.password = value.isEmpty() ? std::nullopt : std::optional<QString>(value);
        }
    }
    if (next.name || next.slug || next.availableUntil)
        return invalid(
            QStringLiteral("--name, --slug and --until apply to the folder after them, and none follows"));
    if (result.serve.folders.isEmpty())
        return invalid(QStringLiteral("serve needs at least one folder"));
    return result;
}

} // namespace

QuarryCommandLine QuarryCommandLine::parse(const QStringList& arguments) {
    QuarryCommandLine result;
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("serve"))
        return parseServe(arguments.mid(2));
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            result.mode = Mode::help;
            return result;
        }
        if (argument == QLatin1String("--version")) {
            result.mode = Mode::version;
            return result;
        }
        if (argument == QLatin1String("--headless"))
            result.mode = Mode::headless;
        else if (argument == QLatin1String("--hidden"))
            result.hidden = true;
        else
            return invalid(QStringLiteral("unknown option %1").arg(argument));
    }
    return result;
}

QString QuarryCommandLine::helpText() {
    return QStringLiteral(
        "Usage: brightloom-share [--hidden | --headless | --help | --version]\n"
        "       brightloom-share serve [--port N] [--password TEXT] [--name TEXT] [--slug TEXT]\n"
        "                              [--until TIME] [--no-qr] FOLDER...\n"
        "\n"
        "Publishes folders of this computer to web browsers, read-only.\n"
        "\n"
        "  (no option)  start the desktop application; starting it again shows the running one\n"
        "  --hidden     start without showing the main window when the desktop has a tray\n"
        "               (start at login uses it)\n"
        "  --headless   serve the stored shares without windows; resumes the public link\n"
        "               if it was on; diagnostics go to standard output; SIGHUP\n"
        "               reads Syncthing's folders again; SIGINT or SIGTERM quits\n"
        "  --help       show this text\n"
        "  --version    show the version\n"
        "\n"
        "serve: serves the folders given, right away and until Ctrl+C, without the stored shares\n"
        "and settings; prints their addresses and a QR code of the first network address. Started\n"
        "with a pipe as its standard input, it also ends when that pipe closes.\n"
        "  --port N         listen on port N (0 picks a free one); by default 48173, or a free\n"
        "                   port when that one is taken\n"
        "  --password TEXT  visitors enter TEXT first; applies to every folder after it (an\n"
        "                   empty TEXT ends it)\n"
        "  --name TEXT      the name visitors see for the next folder (default: its own name)\n"
        "  --slug TEXT      the next folder's name in its address (default: made from its name)\n"
        "  --until TIME     the next folder is no longer shared from TIME on (local time, as\n"
        "                   2026-12-24T18:00, unless it ends in Z or an offset)\n"
        "  --no-qr          print no QR code\n");
}

QString QuarryCommandLine::versionText() {
    return QStringLiteral("brightloom Share %1\n").arg(QStringLiteral(BRIGHTLOOM_VERSION));
}
