#pragma once

#include <QList>
#include <QString>

#include <optional>

// Colour scheme of the windows. A fresh installation starts in `dark`.
enum class AppearanceMode { dark, light, system };

QString rawValue(AppearanceMode mode);
std::optional<AppearanceMode> appearanceModeFromRaw(const QString& raw);
QString title(AppearanceMode mode);
QList<AppearanceMode> allAppearanceModes();
