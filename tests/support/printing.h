#pragma once

#include "core/share_records.h"

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <ostream>

// Failures print Qt texts and the records as text, not as byte dumps. Found by GoogleTest through
// argument-dependent lookup, so they must be declared before any test that compares these types.
void PrintTo(const QString& text, std::ostream* out);
void PrintTo(const QByteArray& bytes, std::ostream* out);
void PrintTo(const QUuid& uuid, std::ostream* out);
void PrintTo(const QuarryImportedFolder& folder, std::ostream* out);
void PrintTo(const QuarryFolderShare& share, std::ostream* out);
void PrintTo(const QuarrySharePublicTunnel& tunnel, std::ostream* out);
void PrintTo(const QuarryShareAppState& state, std::ostream* out);
