#pragma once

#include "model/share_records.h"

#include <QString>

#include <ostream>

// Readable failure messages for Qt texts and imported folders.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QuarryImportedFolder& folder, std::ostream* out) {
    *out << '{' << (folder.folderID ? folder.folderID->toStdString() : std::string("<no id>")) << ", "
         << folder.name.toStdString() << ", " << folder.path.toStdString() << '}';
}
