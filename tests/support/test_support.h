#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

namespace testing_support {

// The temporary folder that test_main made the process's HOME; XDG_DATA_HOME, XDG_CONFIG_HOME,
// XDG_CACHE_HOME, XDG_STATE_HOME and TMPDIR point inside it. Nothing a test does reaches the real home.
QString sandboxRoot();

// Runs the event loop until the predicate holds or the timeout passes; returns the predicate's last value.
bool waitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the event loop for the given time.
void spin(std::chrono::milliseconds duration);

// Writes bytes to a file, creating missing folders; fails the current test on error.
void writeFile(const QString& path, const QByteArray& bytes);

} // namespace testing_support
