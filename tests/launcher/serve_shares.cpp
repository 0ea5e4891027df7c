// serve_shares --port N [--share SLUG PATH]... [--name SLUG DISPLAYNAME]... [--password SLUG PASSWORD]...
//              [--disabled SLUG]...
// Serves the given folders with the application's web server. Port 0 picks a free port. Prints
// "LISTENING <port>" once the listener is ready, then serves until SIGTERM, SIGINT or end of input.
#include "core/password_digest.h"
#include "core/share_records.h"
#include "server/web_server.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

int usage(const QString& problem) {
    std::fprintf(stderr, "serve_shares: %s\n", qPrintable(problem));
    std::fprintf(stderr, "usage: serve_shares --port N [--share SLUG PATH]... [--name SLUG DISPLAYNAME]... "
                         "[--password SLUG PASSWORD]... [--disabled SLUG]...\n");
    return 2;
}

QuarryFolderShare* shareWithSlug(QList<QuarryFolderShare>& shares, const QString& slug) {
    for (QuarryFolderShare& share : shares) {
        if (share.urlSlug == slug)
            return &share;
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);

    std::optional<int> port;
    QuarryShareServerSnapshot snapshot;
    // Names, passwords and switches may come before or after their share: they are applied at the end.
    QList<QStringList> settings;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& option = arguments.at(i);
        const auto taking = [&](qsizetype count) {
            QStringList taken = arguments.mid(i, count + 1);
            i += count;
            return taken;
        };
        const auto has = [&](qsizetype count) { return i + count < arguments.size(); };
        if (option == QLatin1String("--port") && has(1)) {
            const QString text = taking(1).at(1);
            bool ok = false;
            port = text.toInt(&ok);
            if (!ok)
                return usage(QStringLiteral("not a port: ") + text);
        } else if (option == QLatin1String("--share") && has(2)) {
            const QStringList taken = taking(2);
            QuarryFolderShare share;
            share.source = QuarryShareSource::custom;
            share.urlSlug = taken.at(1);
            share.path = taken.at(2);
            share.isEnabled = true;
            snapshot.shares.append(share);
        } else if ((option == QLatin1String("--name") || option == QLatin1String("--password")) && has(2)) {
            settings.append(taking(2));
        } else if (option == QLatin1String("--disabled") && has(1)) {
            settings.append(taking(1));
        } else {
            return usage(QStringLiteral("unexpected argument ") + option);
        }
    }
    for (const QStringList& setting : settings) {
        QuarryFolderShare* share = shareWithSlug(snapshot.shares, setting.at(1));
        if (!share)
            return usage(QStringLiteral("no share with the slug ") + setting.at(1));
        if (setting.at(0) == QLatin1String("--name")) {
            share->name = setting.at(2);
        } else if (setting.at(0) == QLatin1String("--password")) {
            share->passwordSalt = newUuidText();
            share->passwordDigest = QuarryShareWeb::passwordDigest(setting.at(2), *share->passwordSalt);
        } else {
            share->isEnabled = false;
        }
    }
    if (!port)
        return usage(QStringLiteral("--port is required"));

    if (::pipe2(signalPipe, O_CLOEXEC) != 0)
        return 1;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    QSocketNotifier signals(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signals, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    // End of standard input ends the server too, so a parent that dies takes it along.
    std::optional<QSocketNotifier> input;
    if (::fcntl(STDIN_FILENO, F_GETFD) != -1) {
        input.emplace(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(&*input, &QSocketNotifier::activated, &app, [&app, &input] {
            char buffer[4096];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof(buffer));
            if (got <= 0) {
                input->setEnabled(false);
                app.quit();
            }
        });
    }

    int exitCode = 0;
    QuarryShareWebServer server;
    server.setStateHandler([&](const QuarryShareWebServer::State& state) {
        // Reported on the server thread: act on the main thread.
        QMetaObject::invokeMethod(
            &app,
            [&, state] {
                if (state.kind == QuarryShareWebServer::State::Kind::running) {
                    std::printf("LISTENING %d\n", server.listeningPort());
                    std::fflush(stdout);
                } else if (state.kind == QuarryShareWebServer::State::Kind::failed) {
                    std::fprintf(stderr, "serve_shares: %s\n", qPrintable(state.message));
                    exitCode = 1;
                    app.quit();
                }
            },
            Qt::QueuedConnection);
    });
    const Result<void> started = server.start(*port, snapshot);
    if (!started) {
        std::fprintf(stderr, "serve_shares: %s\n", qPrintable(started.error().message));
        return 1;
    }
    const int status = app.exec();
    server.setStateHandler(nullptr);
    return exitCode != 0 ? exitCode : status;
}
