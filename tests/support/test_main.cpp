// Test entry point: every test runs inside a fresh temporary HOME with its own XDG folders and TMPDIR,
// under a Qt application object, with an en_US locale for locale-aware ordering.
#include <QDir>
#include <QLocale>
#include <QTemporaryDir>

#ifdef BRIGHTLOOM_TEST_GUI
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <gtest/gtest.h>

#include <cstdlib>

// Sanitizer settings live in the executable, so a test behaves the same under ctest and when run by hand.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0:strict_string_checks=1";
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

// Leaks inside system libraries that the tests load but do not own (kept in step with lsan.supp).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n"
           "leak:libglib-2.0\n"
           "leak:libgobject-2.0\n"
           "leak:libgio-2.0\n"
           "leak:libdbus-1\n"
           "leak:libsecret-1\n";
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
    setenv("LANG", "C.UTF-8", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshSandboxPerTest(sandbox.path()));
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
