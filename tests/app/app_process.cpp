#include "app_process.h"

#include "support/test_support.h"

#include <QDir>
#include <QTemporaryDir>

#include <csignal>

#if defined(__SANITIZE_THREAD__)
// The test process's ThreadSanitizer settings (support/test_main.cpp): the application run as a child is
// held to the same rules, Qt's own accesses left alone.
extern "C" const char* __tsan_default_options();
#endif

namespace app_testing {

AppProcess::AppProcess(QString program)
    : m_program(std::move(program)) {
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

AppProcess::~AppProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

bool AppProcess::start(const QStringList& arguments, const QStringList& extra) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& setting : extra)
        environment.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
#if defined(__SANITIZE_THREAD__)
    environment.insert(QStringLiteral("TSAN_OPTIONS"), QString::fromLatin1(__tsan_default_options()));
#endif
    m_process.setProcessEnvironment(environment);
    m_output.clear();
    m_process.start(m_program, arguments);
    return m_process.waitForStarted(10000);
}

QByteArray AppProcess::output() {
    m_output += m_process.readAll();
    return m_output;
}

bool AppProcess::waitForOutput(const QByteArray& text, std::chrono::milliseconds timeout) {
    return testing_support::waitUntil([&] { return output().contains(text); }, timeout);
}

int AppProcess::stop(int signal, std::chrono::milliseconds timeout) {
    ::kill(pid_t(m_process.processId()), signal);
    return finish(timeout);
}

int AppProcess::finish(std::chrono::milliseconds timeout) {
    const bool ended =
        testing_support::waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeout);
    output();
    if (!ended || m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}

QString decodeQRCode(const QImage& image) {
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/qr-XXXXXX"));
    const QString path = folder.path() + QStringLiteral("/code.png");
    if (!image.save(path))
        return {};
    QProcess reader;
    reader.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), path});
    if (!reader.waitForFinished(30000))
        return {};
    return QString::fromUtf8(reader.readAllStandardOutput()).trimmed();
}

QImage halfBlockPicture(const QString& text) {
    const QChar upper(0x2580), lower(0x2584), full(0x2588);
    QStringList lines;
    for (const QString& line : text.split('\n'))
        if (line.contains(upper) || line.contains(lower) || line.contains(full))
            lines.append(line);
    // A light margin of its own, whatever the text brought along.
    const int margin = 4;
    QImage picture(int(lines.value(0).size()) + 2 * margin, int(lines.size()) * 2 + 2 * margin,
                   QImage::Format_RGB32);
    picture.fill(Qt::white);
    for (int row = 0; row < lines.size(); ++row) {
        for (int column = 0; column < lines[row].size(); ++column) {
            const QChar block = lines[row][column];
            if (block == upper || block == full)
                picture.setPixel(column + margin, row * 2 + margin, qRgb(0, 0, 0));
            if (block == lower || block == full)
                picture.setPixel(column + margin, row * 2 + 1 + margin, qRgb(0, 0, 0));
        }
    }
    return picture.scaled(picture.size() * 8);
}

} // namespace app_testing
