#pragma once

#include "core/share_records.h"

#include <QDir>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Reads the folders of a local Syncthing installation out of its configuration file. Read only: it
// never writes Syncthing's files and never talks to a running Syncthing.
class QuarryFolderImporter {
public:
    // The folders, sorted by name (locale-aware, case ignored, equal names in document order); an empty
    // list when the configuration holds none; nothing when no configuration exists or it cannot be read
    // or parsed.
    static std::optional<QList<QuarryImportedFolder>>
    loadImportedFolders(const QString& homePath = QDir::homePath());

    // Where the configuration may be, in the order they are tried; the first that exists is the one read.
    static QStringList configCandidateURLs(const QString& homePath = QDir::homePath());

    // The folders of one configuration document, finished as loadImportedFolders returns them; nothing
    // when the document is not well-formed. A leading "~" in a path stands for homePath.
    static std::optional<QList<QuarryImportedFolder>> readFolders(QIODevice& device, const QString& homePath);
};
