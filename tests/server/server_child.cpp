// The web server alone in a process of its own, so that a test can hold it to a lower descriptor limit
// and read its CPU time and descriptors from /proc. Prints "port N" once listening; ends when its
// standard input closes.
//
//   server_child FOLDER SLUG [--max-connections N]

#include "core/mailbox.h"
#include "server/web_server.h"
#include "support/share_fixtures.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3) {
        std::fputs("usage: server_child FOLDER SLUG [--max-connections N]\n", stderr);
        return 2;
    }
    QuarryShareWebServer::Options options;
    if (arguments.size() == 5 && arguments.at(3) == QLatin1String("--max-connections"))
        options.connections.maxConnections = arguments.at(4).toInt();
    QuarryShareServerSnapshot snapshot;
    snapshot.appName = QStringLiteral("brightloom Share");
    snapshot.shares = {testing_support::makeShare({.slug = arguments.at(2), .path = arguments.at(1)})};

    // Reported on the server thread, acted on here; through a mailbox, so ThreadSanitizer sees the hand-over.
    QuarryMailbox mainThread;
    QuarryShareWebServer server;
    server.setOptions(options);
    server.setStateHandler([&app, &mainThread](const QuarryShareWebServer::State& state) {
        mainThread.post([&app, state] {
            if (state.kind == QuarryShareWebServer::State::Kind::failed) {
                std::fprintf(stderr, "failed: %s\n", qPrintable(state.message));
                app.exit(1);
            }
        });
    });
    if (!server.start(0, snapshot).ok())
        return 1;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&app] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0)
            app.quit();
    });
    // The port is known once the server thread has listened.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (server.listeningPort() == 0)
            return;
        std::printf("port %d\n", server.listeningPort());
        std::fflush(stdout);
        poll.stop();
    });
    poll.start(10);
    return app.exec();
}
