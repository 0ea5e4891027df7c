#pragma once

#include "core/share_records.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>

#include <optional>

// The state document: compact JSON of QuarryShareAppState. Dates are seconds since
// 2001-01-01 00:00:00 UTC; absent optional fields are left out; unknown keys are ignored.
// Decoding fails as one unit: any missing required key, wrong type, bad UUID or unknown source.

double secondsSinceReferenceDate(const QDateTime& date);
// Dates before year 1 or after year 9999 are taken as the first or last moment of that range.
QDateTime dateFromReferenceSeconds(double seconds);

QJsonObject encodeShare(const QuarryFolderShare& share);
QJsonObject encodePublicTunnel(const QuarrySharePublicTunnel& tunnel);
QJsonObject encodeAppStateObject(const QuarryShareAppState& state);
QByteArray encodeAppState(const QuarryShareAppState& state);

std::optional<QuarryFolderShare> decodeShare(const QJsonObject& object);
std::optional<QuarrySharePublicTunnel> decodePublicTunnel(const QJsonObject& object);
std::optional<QuarryShareAppState> decodeAppState(const QByteArray& document);
