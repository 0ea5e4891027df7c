#include "fuzz_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

QString& sandbox() {
    static QString path;
    return path;
}

void removeSandbox() {
    if (!sandbox().isEmpty())
        QDir(sandbox()).removeRecursively();
}

} // namespace

namespace QuarryFuzz {

void enterSandbox() {
    if (!sandbox().isEmpty())
        return;
    const char* base = std::getenv("TMPDIR");
    QByteArray pattern = QByteArray(base && *base ? base : "/tmp") + "/brightloom-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    sandbox() = QFile::decodeName(pattern);
    std::atexit(removeSandbox);
    const auto point = [](const char* variable, const char* folder) {
        const QByteArray path = QFile::encodeName(sandbox()) + '/' + folder;
        QDir().mkpath(QFile::decodeName(path));
        ::setenv(variable, path.constData(), 1);
    };
    point("HOME", "home");
    point("XDG_CONFIG_HOME", "home/.config");
    point("XDG_DATA_HOME", "home/.local/share");
    point("XDG_CACHE_HOME", "home/.cache");
    point("XDG_STATE_HOME", "home/.local/state");
    point("XDG_RUNTIME_DIR", "runtime");
    point("TMPDIR", "tmp");
    ::setenv("LANG", "C.UTF-8", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // The Qt application object lives for the whole process, as the application's own does.
    static int argc = 1;
    static char name[] = "brightloom-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* application = new QCoreApplication(argc, argv);
    Q_UNUSED(application);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

QString sandboxPath() {
    return sandbox();
}

void fail(const char* property, const QByteArray& detail) {
    std::fprintf(stderr, "\n[fuzz] property broken: %s\n[fuzz] detail: %s\n", property,
                 detail.toPercentEncoding(" /:;=&?#@!$'()*+,[]{}\"<>").constData());
    std::fflush(stderr);
    std::abort();
}

} // namespace QuarryFuzz
