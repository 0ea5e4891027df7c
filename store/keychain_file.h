#pragma once

#include "core/error.h"

#include <QString>

#include <optional>

// The secret store of last resort: one JSON file readable and writable by the user only, with items
// addressed by service and account like Secret Service items. A file that cannot be understood is
// reported and left untouched, never overwritten.
namespace QuarryKeychainFile {

// Where the items are kept: beside state.json.
QString filePath();

QuarryResult<void> save(const QString& service, const QString& account, const QString& value);
QuarryResult<std::optional<QString>> read(const QString& service, const QString& account);
void remove(const QString& service, const QString& account);

} // namespace QuarryKeychainFile
