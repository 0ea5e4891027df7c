#include "core/appearance_mode.h"

QString rawValue(AppearanceMode mode) {
    switch (mode) {
    case AppearanceMode::dark:
        return QStringLiteral("dark");
    case AppearanceMode::light:
        return QStringLiteral("light");
    case AppearanceMode::system:
        return QStringLiteral("system");
    }
    return QStringLiteral("dark");
}

std::optional<AppearanceMode> appearanceModeFromRaw(const QString& raw) {
    for (AppearanceMode mode : allAppearanceModes()) {
        if (rawValue(mode) == raw)
            return mode;
    }
    return std::nullopt;
}

QString title(AppearanceMode mode) {
    switch (mode) {
    case AppearanceMode::dark:
        return QStringLiteral("Dark Mode");
    case AppearanceMode::light:
        return QStringLiteral("Light Mode");
    case AppearanceMode::system:
        return QStringLiteral("Follow System");
    }
    return {};
}

QList<AppearanceMode> allAppearanceModes() {
    return {AppearanceMode::dark, AppearanceMode::light, AppearanceMode::system};
}
