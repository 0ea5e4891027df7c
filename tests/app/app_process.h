#pragma once

#include "support/test_support.h"

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>

// The built application run as a person, a login session or a script runs it, and what such a person
// would check from outside: its output, its web server, a QR code it drew.
namespace app_testing {

// One run of the application (or of a copy of it); killed if the test ends first.
class AppProcess {
public:
    explicit AppProcess(QString program = QStringLiteral(BRIGHTLOOM_SHARE_BINARY));
    ~AppProcess();

    // Starts it with the test's environment plus `extra` (NAME=value each); false when it did not start.
    bool start(const QStringList& arguments, const QStringList& extra = {});
    // Waits until the output so far contains `text`.
    bool waitForOutput(const QByteArray& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Closes the pipe of its standard input, as a script that started it does when it ends.
    void closeInput() { m_process.closeWriteChannel(); }
    // Everything it wrote so far, both channels.
    QByteArray output();
    // Sends a signal and waits for it to end; its exit code, or -1 when it crashed or did not end.
    int stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for it to end on its own; its exit code, or -1.
    int finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    qint64 pid() const { return m_process.processId(); }

private:
    QString m_program;
    QProcess m_process;
    QByteArray m_output;
};

using namespace testing_support; // the HTTP helpers

// What zbarimg (Debian's zbar-tools) reads from the image: the QR code's text, or empty.
QString decodeQRCode(const QImage& image);

// A QR code printed in UTF-8 half blocks, drawn back as the picture a camera would see of it on a light
// page: the lines of `text` that hold blocks, two module rows to a line.
QImage halfBlockPicture(const QString& text);

} // namespace app_testing
