#pragma once

#include "core/error.h"

#include <QString>

#include <optional>

// Small text secrets (the public link's tunnel token) kept in the desktop's Secret Service, each item
// addressed by the service name and an account text. When no Secret Service can be reached at all, the
// items live in a file beside the state document that only the user can read.
namespace QuarryShareKeychain {

inline constexpr char serviceName[] = "app.brightloom.share";

// Stores value under account, replacing the item that is there.
QuarryResult<void> save(const QString& value, const QString& account);

// The text stored under account; nothing when there is no such item.
QuarryResult<std::optional<QString>> read(const QString& account);

// Removes the item under account if there is one. Failures are ignored.
void remove(const QString& account);

} // namespace QuarryShareKeychain
