#pragma once

#include "core/share_records.h"

#include <QCollator>

// The order in which names are listed everywhere: locale-aware and case-insensitive, in the user's
// locale. The C/POSIX locale (typical for services and CI) has no collation of its own, and Qt then
// orders by code point and, through sort keys, by case; names are ordered as in English instead.
QCollator nameCollator();

// Stable sort by display name in that order.
void sortByDisplayName(QList<QuarryFolderShare>& shares);
