#include "core/app_paths.h"

#include <QDir>
#include <QStandardPaths>

namespace QuarryShareUtilities {

QString appStateURL() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                           QStringLiteral("/Quarry Share");
    // A failure shows up when the document is written; nothing to report here.
    QDir().mkpath(folder);
    return folder + QStringLiteral("/state.json");
}

} // namespace QuarryShareUtilities
