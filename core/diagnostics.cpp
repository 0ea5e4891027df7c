#include "core/diagnostics.h"

#include <cstdio>
#include <mutex>

void logDiagnostic(const QString& text) {
    static std::mutex lock;
    const QByteArray line = QStringLiteral("[brightloom Share] %1\n").arg(text).toUtf8();
    std::lock_guard guard(lock);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}
