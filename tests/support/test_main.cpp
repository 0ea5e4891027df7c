// Test entry point: every test process runs inside a fresh temporary HOME with its own XDG folders
// and TMPDIR, under a Qt application object, with an en_US locale for locale-aware ordering.
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

int main(int argc, char** argv) {
    QTemporaryDir sandbox(QDir::tempPath() + QStringLiteral("/brightloom-test-XXXXXX"));
    if (!sandbox.isValid())
        return 2;
    const QString root = sandbox.path();
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
    QDir(root).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(root + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    setenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/runtime")).constData(), 1);

#ifdef BRIGHTLOOM_TEST_GUI
    // Windows render offscreen, also while ctest lists the tests (without the tests' environment).
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
#endif
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
