#pragma once

#include "support/printing.h"

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

#include <chrono>
#include <functional>
#include <memory>

namespace testing_support {

// The temporary folder that holds the running test's HOME: test_main makes a fresh one for every test,
// with XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_CACHE_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR and TMPDIR
// inside it, so nothing a test does reaches the real home or the next test.
QString sandboxRoot();
// The temporary folder of the whole test process, which outlives every test's sandbox.
QString processSandboxRoot();

// Runs the event loop until the predicate holds or the timeout passes; returns the predicate's last value.
bool waitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the event loop for the given time.
void spin(std::chrono::milliseconds duration);

// Writes bytes to a file, creating missing folders; fails the current test on error.
void writeFile(const QString& path, const QByteArray& bytes);

// The answer of one HTTP request to 127.0.0.1:port (the server closes after each), or empty.
QByteArray httpExchange(int port, const QByteArray& request);
QByteArray httpGet(int port, const QByteArray& target, const QByteArray& extraHead = {});
// A visitor who sends `request` and reads only the first `bytes` of the answer through a small window: the
// open socket (the server holds the rest until it is closed), or null.
std::unique_ptr<QTcpSocket> partialExchange(int port, const QByteArray& request, qsizetype bytes,
                                            QByteArray* taken = nullptr);
// The status code of an answer, or 0.
int statusOf(const QByteArray& answer);

} // namespace testing_support
