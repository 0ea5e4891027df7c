// Test entry point: every test runs inside a fresh temporary HOME with its own XDG folders and TMPDIR,
// under a Qt application object, with an en_US locale for locale-aware ordering.
#include <QDir>
#include <QLocale>
#include <QTemporaryDir>

#ifdef BRIGHTLOOM_TEST_GUI
// A QApplication, as the application's own: the tray icon and its menu are Qt Widgets.
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#endif

#ifdef BRIGHTLOOM_TEST_XVFB
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>
#endif

// Sanitizer settings live in the executable, so a test behaves the same under ctest and when run by hand.
extern "C" const char* __asan_default_options() {
#ifdef BRIGHTLOOM_TEST_XVFB
    // libxkbcommon-x11 hands strndup atom names that are not NUL-terminated, with their length: sound,
    // but strict string checks read past them.
    return "detect_leaks=1:abort_on_error=0:strict_string_checks=0";
#else
    return "detect_leaks=1:abort_on_error=0:strict_string_checks=1";
#endif
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer (make tsan): every report is printed and fails the test through the exit status.
extern "C" const char* __tsan_default_options() {
    // Qt and the other system libraries are not instrumented: their own memory accesses (their atomics,
    // and the allocations they make and free) are invisible to it and only make noise. The tests fork
    // children (unzip, the keyring, fake programs) that exec at once.
    return "halt_on_error=0:exitcode=66:second_deadlock_stack=1:history_size=4:"
           "ignore_noninstrumented_modules=1:die_after_fork=0";
}

// Qt starts children with clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD), which ThreadSanitizer does not
// follow: the child runs Qt's code on the parent's thread state, and the parent's locks go unseen
// afterwards, so every later hand-over reads as a race. Qt uses that clone only where waitid() knows
// pidfds; answering its probe as an older kernel would makes it start children with fork(), which
// ThreadSanitizer knows.
static void hidePidfdsFromQt() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_waitid, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, P_PIDFD, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EINVAL & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
        std::perror("seccomp");
}
#endif

// Leaks inside system libraries that the tests load but do not own (kept in step with lsan.supp).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n"
           "leak:libglib-2.0\n"
           "leak:libgobject-2.0\n"
           "leak:libgio-2.0\n"
           "leak:libdbus-1\n"
           "leak:libsecret-1\n"
           "leak:libx265\n";
}

namespace {

// Points HOME, the XDG folders and TMPDIR into a fresh folder under the process's sandbox.
void enterSandbox(const QString& root) {
    const auto point = [&](const char* variable, const QString& folder) {
        const QString path = root + QLatin1Char('/') + folder;
        QDir().mkpath(path);
        setenv(variable, QFile::encodeName(path).constData(), 1);
    };
    setenv("BRIGHTLOOM_TEST_SANDBOX", QFile::encodeName(root).constData(), 1);
    point("HOME", QStringLiteral("home"));
    point("XDG_DATA_HOME", QStringLiteral("home/.local/share"));
    point("XDG_CONFIG_HOME", QStringLiteral("home/.config"));
    point("XDG_CACHE_HOME", QStringLiteral("home/.cache"));
    point("XDG_STATE_HOME", QStringLiteral("home/.local/state"));
    point("TMPDIR", QStringLiteral("tmp"));
    point("XDG_RUNTIME_DIR", QStringLiteral("runtime"));
    QFile::setPermissions(root + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Every test starts in a sandbox of its own, so tests never see each other's files whatever order they
// run in; it is removed when the test ends.
class FreshSandboxPerTest : public testing::EmptyTestEventListener {
public:
    explicit FreshSandboxPerTest(QString processRoot)
        : m_processRoot(std::move(processRoot)) {}

    void OnTestStart(const testing::TestInfo&) override {
        m_current = m_processRoot + QStringLiteral("/test-") + QString::number(++m_count);
        enterSandbox(m_current);
    }

    void OnTestEnd(const testing::TestInfo&) override {
        // Chromium, a keyring or a child may still be writing while it goes; whatever stays is removed
        // with the process's sandbox.
        QDir(m_current).removeRecursively();
        enterSandbox(m_processRoot + QStringLiteral("/between-tests"));
    }

private:
    QString m_processRoot;
    QString m_current;
    int m_count = 0;
};

#ifdef BRIGHTLOOM_TEST_XVFB
// An X server of the test process's own, for what only a real display shows (the tray needs Qt's xcb
// platform); the kernel ends it with the process. Returns its display name, or nothing.
QByteArray startXvfb() {
    int displayPipe[2];
    if (::pipe(displayPipe) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(displayPipe[0]);
        const std::string fd = std::to_string(displayPipe[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(displayPipe[1]);
    if (child < 0)
        return {};
    QByteArray number;
    char byte = 0;
    while (::read(displayPipe[0], &byte, 1) == 1 && byte != '\n')
        number += byte;
    ::close(displayPipe[0]);
    return number.isEmpty() ? QByteArray() : ":" + number;
}
#endif

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir sandbox(QDir::tempPath() + QStringLiteral("/brightloom-test-XXXXXX"));
    if (!sandbox.isValid())
        return 2;
    setenv("BRIGHTLOOM_TEST_PROCESS_SANDBOX", QFile::encodeName(sandbox.path()).constData(), 1);
    enterSandbox(sandbox.path() + QStringLiteral("/between-tests"));

    // Never reach the desktop session of whoever runs the tests: its keyring holds real secrets.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
#ifdef BRIGHTLOOM_TEST_XVFB
    // Listing the tests needs no display.
    const bool listing = std::any_of(
        argv, argv + argc, [](const char* argument) { return std::strstr(argument, "list_tests"); });
    if (!listing) {
        const QByteArray display = startXvfb();
        if (display.isEmpty())
            return 2;
        setenv("DISPLAY", display.constData(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // Qt Quick's software renderer: no GL stack to depend on in a bare X server.
        setenv("QT_QUICK_BACKEND", "software", 1);
    }
#endif
#if defined(__SANITIZE_THREAD__)
    hidePidfdsFromQt();
#endif
    setenv("LANG", "C.UTF-8", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshSandboxPerTest(sandbox.path()));
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
