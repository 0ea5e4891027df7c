#pragma once

#include <QString>

// Writes one diagnostic line, "[brightloom Share] " + text, to standard output.
// Safe to call from any thread; each line is written whole.
void logDiagnostic(const QString& text);
