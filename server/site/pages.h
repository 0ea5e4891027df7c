#pragma once

#include "core/share_records.h"
#include "server/site/server_snapshot.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>

// The few HTML documents the server renders itself, and the texts they carry.
namespace QuarrySite {

// Where the client starts on a share page: the folder it opens and the item it selects.
struct Presentation {
    QString initialDirectory;
    std::optional<QString> selectedRelativePath;
    bool operator==(const Presentation&) const = default;
};

// Up to and including "<body>", joined by line feeds.
QString pageHead(const QString& title);

// Over the public link the share's "currentSharePath" is its display path, never the disk's.
QString renderAppPage(const QuarryShareServerSnapshot& snapshot,
                      const std::optional<QuarryFolderShare>& currentShare, const QString& initialDirectory,
                      const std::optional<QString>& selectedRelativePath, bool viaPublicLink = false);
QString renderNotFoundPage(const QuarryShareServerSnapshot& snapshot);
QString renderMissingItemPage(const QuarryShareServerSnapshot& snapshot, const QuarryFolderShare& share);
// The page for a request that named a host this computer does not answer to.
QString renderMisdirectedPage(const QuarryShareServerSnapshot& snapshot, const QString& hostName);
QString renderUnlockPage(const QuarryFolderShare& share, const QString& redirect, bool failed);

std::optional<Presentation> resolvePresentation(const QuarryFolderShare& share, const QString& relativePath);

// The compact bootstrap JSON of the application page ("{}" if it cannot be made).
QString bootstrapJSON(const QuarryShareServerSnapshot& snapshot,
                      const std::optional<QuarryFolderShare>& currentShare, const QString& initialDirectory,
                      const std::optional<QString>& selectedRelativePath, bool viaPublicLink = false);

// The style sheet and the client script compiled in from server/assets ("" while absent).
QString baseStyles();
QString appScript();
// The web icon: the compiled-in PNG, else Resources/AppIcon.iconset/icon_32x32@2x.png under the working
// folder.
std::optional<QByteArray> appIconData();

} // namespace QuarrySite
