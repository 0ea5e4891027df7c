#include "app/serve_command.h"

#include "app/qr_code.h"
#include "app/server_process.h"
#include "app/signal_watcher.h"
#include "core/mailbox.h"
#include "core/password_digest.h"
#include "core/share_records.h"
#include "server/web_server.h"
#include "sources/share_utilities.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void print(FILE* stream, const QString& text) {
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

// Names and paths come from disk, where other people's devices may have put them: control characters
// (a terminal's escape sequences among them) are shown as "?".
QString printable(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text;
}

// The folders as enabled shares, or the message for the first one that cannot be served.
QuarryResult<QList<QuarryFolderShare>> sharesFor(const QList<QuarryServeFolder>& folders) {
    QList<QuarryFolderShare> shares;
    QSet<QString> taken;
    for (const QuarryServeFolder& folder : folders) {
        const QFileInfo info(folder.path);
        if (!info.exists())
            return QuarryError{QStringLiteral("serve"), 2,
                               QStringLiteral("there is no folder at %1").arg(printable(folder.path))};
        if (!info.isDir())
            return QuarryError{QStringLiteral("serve"), 2,
                               QStringLiteral("%1 is not a folder").arg(printable(folder.path))};
        QuarryFolderShare share;
        share.path = QDir::cleanPath(info.absoluteFilePath());
        share.name = folder.name.value_or(info.fileName().isEmpty() ? share.path : info.fileName());
        share.urlSlug = QuarryShareUtilities::uniqueSlug(folder.slug.value_or(share.name), taken);
        share.isEnabled = true;
        share.availableUntil = folder.availableUntil;
        if (folder.password) {
            share.passwordSalt = newUUIDText();
            share.passwordDigest = QuarryDigests::passwordDigest(*folder.password, *share.passwordSalt);
        }
        taken.insert(share.urlSlug);
        shares.append(share);
    }
    return shares;
}

// "Download of docs/report.pdf (file) by 192.0.2.7 via lan: complete, 5000 of 5000 bytes in 12 ms".
QString downloadLine(const QuarryActivityEvent& event) {
    const QString promised =
        event.bytesPromised >= 0 ? QStringLiteral(" of %1").arg(event.bytesPromised) : QString();
    return QStringLiteral("Download of %1 (%2) by %3 via %4: %5, %6%7 bytes in %8 ms\n")
        .arg(printable(event.slug + QLatin1Char('/') + event.path), event.kind, event.client, event.via,
             event.complete ? QStringLiteral("complete") : QStringLiteral("abandoned"))
        .arg(event.bytesSent)
        .arg(promised)
        .arg(event.durationMs);
}

// A script that started it with a pipe on its standard input takes it along when it ends, however it
// ends: the pipe's end is the signal. A terminal or /dev/null is never read.
void endWithInputPipe(QCoreApplication& app) {
    struct stat input {};
    if (::fstat(STDIN_FILENO, &input) != 0 || !(S_ISFIFO(input.st_mode) || S_ISSOCK(input.st_mode)))
        return;
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, notifier] {
        char buffer[4096];
        if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) {
            notifier->setEnabled(false);
            app.quit();
        }
    });
}

bool isLoopbackOrigin(const QString& origin) {
    const QString host = QUrl(origin).host();
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost");
}

// Every address of every share, then a QR code of the first share under the first network address.
QString banner(const QList<QuarryFolderShare>& shares, int port, bool withQRCode, bool colours) {
    const QStringList origins = QuarryShareUtilities::localOrigins(port);
    QString text =
        QStringLiteral("brightloom Share is serving %1 folder%2 on port %3. Press Ctrl+C to stop.\n")
            .arg(shares.size())
            .arg(shares.size() == 1 ? QString() : QStringLiteral("s"))
            .arg(port);
    for (const QuarryFolderShare& share : shares) {
        text += QStringLiteral("\n%1 (%2)%3\n")
                    .arg(printable(share.displayName()), printable(share.path),
                         share.isPasswordProtected() ? QStringLiteral(", with a password") : QString());
        for (const QString& origin : origins)
            text += QStringLiteral("  %1%2/\n").arg(origin, share.urlSlug);
    }
    if (!withQRCode)
        return text;
    // The name under ".local" is left out: phones often cannot resolve it.
    const auto lan = std::find_if(origins.begin(), origins.end(), [](const QString& origin) {
        return !isLoopbackOrigin(origin) && !QUrl(origin).host().endsWith(QLatin1String(".local"));
    });
    if (lan == origins.end())
        return text + QStringLiteral("\nNo network address to show a QR code for.\n");
    const QString url = *lan + shares.first().urlSlug + QLatin1Char('/');
    if (const auto code = QuarryQRCode::encode(url))
        text += QStringLiteral("\nScan to open %1 on a phone on the same network:\n\n%2")
                    .arg(url, qrCodeTerminalText(*code, colours));
    return text;
}

} // namespace

int runServe(int argc, char** argv, const QuarryServeOptions& options) {
    prepareServerProcess();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brightloom Share"));
    const QuarryResult<QList<QuarryFolderShare>> shares = sharesFor(options.folders);
    if (!shares) {
        print(stderr, QStringLiteral("brightloom-share serve: %1\n").arg(shares.error().message));
        return 2;
    }
    QuarrySignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &QuarrySignalWatcher::received, &app, &QCoreApplication::quit);
    endWithInputPipe(app);

    QuarryShareServerSnapshot snapshot;
    snapshot.appName = QStringLiteral("brightloom Share");
    snapshot.shares = *shares;
    // Without --port: the application's port, or any free one when the application itself has it.
    bool fallBack = !options.port.has_value();
    int exitCode = 0;
    // Declared before the server, so it outlives every report the server thread may still post.
    QuarryMailbox reports;
    QuarryShareWebServer server;
    const auto handle = [&](const QuarryShareWebServer::State& state) {
        if (state.kind == QuarryShareWebServer::State::Kind::running) {
            fallBack = false;
            print(stdout,
                  banner(*shares, server.listeningPort(), options.showQRCode, ::isatty(STDOUT_FILENO)));
        } else if (state.kind == QuarryShareWebServer::State::Kind::failed &&
                   std::exchange(fallBack, false)) {
            [[maybe_unused]] const QuarryResult<void> retried = server.start(0, snapshot);
        } else if (state.kind == QuarryShareWebServer::State::Kind::failed) {
            print(stderr, QStringLiteral("brightloom-share serve: %1\n").arg(state.message));
            exitCode = 1;
            app.quit();
        }
    };
    // Reported on the server thread: handed over through the mailbox and acted on here.
    server.setStateHandler([&reports, handle](const QuarryShareWebServer::State& state) {
        reports.post([handle, state] { handle(state); });
    });
    // No log file here: one line for each download once it finished or was given up.
    server.setActivityHandler([&reports](const QuarryActivityEvent& event) {
        static const QStringList downloads{QStringLiteral("file"), QStringLiteral("range"),
                                           QStringLiteral("archive"), QStringLiteral("picks")};
        if (!event.ended || !downloads.contains(event.kind))
            return;
        reports.post([event] { print(stdout, downloadLine(event)); });
    });
    // Each folder with an end is switched off when it comes, as the application does.
    const auto endPassed = [&] {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        bool changed = false;
        for (QuarryFolderShare& share : snapshot.shares) {
            if (share.isEnabled && share.availableUntil && *share.availableUntil <= now) {
                share.isEnabled = false;
                changed = true;
                print(stdout, QStringLiteral("%1 reached its end and is no longer shared.\n")
                                  .arg(printable(share.displayName())));
            }
        }
        if (changed)
            server.update(snapshot);
    };
    endPassed();
    QTimer endTimer;
    endTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&endTimer, &QTimer::timeout, &app, endPassed);
    if (std::any_of(snapshot.shares.cbegin(), snapshot.shares.cend(),
                    [](const QuarryFolderShare& share) { return share.availableUntil.has_value(); }))
        endTimer.start(250);
    const QuarryResult<void> started = server.start(options.port.value_or(kDefaultPort), snapshot);
    if (!started) {
        print(stderr, QStringLiteral("brightloom-share serve: %1\n").arg(started.error().message));
        return 1;
    }
    const int status = app.exec();
    server.setStateHandler(nullptr);
    server.setActivityHandler(nullptr);
    return exitCode != 0 ? exitCode : status;
}
