#include "sources/folder_importer.h"

#include "core/text_order.h"

#include "core/paths.h"

#include <QCollator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QXmlStreamReader>

#include <algorithm>
#include <numeric>

namespace {

QString expandedPath(const QString& path, const QString& homePath) {
    if (path == QLatin1String("~"))
        return homePath;
    if (path.startsWith(QLatin1String("~/"))) {
        const QString home = homePath.endsWith(QLatin1Char('/')) ? homePath.chopped(1) : homePath;
        return home + path.mid(1);
    }
    // "~name" is another user's home folder; anything else stays as it is.
    return expandTilde(path);
}

std::optional<QString> trimmedAttribute(const QXmlStreamAttributes& attributes, QLatin1String name) {
    if (!attributes.hasAttribute(name))
        return std::nullopt;
    return trimmedText(attributes.value(name).toString());
}

QuarryImportedFolder folderFrom(const QXmlStreamAttributes& attributes, const QString& homePath) {
    const std::optional<QString> label = trimmedAttribute(attributes, QLatin1String("label"));
    const QString path =
        expandedPath(trimmedAttribute(attributes, QLatin1String("path")).value_or(QString()), homePath);
    std::optional<QString> folderID = trimmedAttribute(attributes, QLatin1String("id"));
    if (folderID && folderID->isEmpty())
        folderID.reset();
    QString name = label.value_or(QString());
    if (name.isEmpty())
        name = lastPathComponent(path);
    if (name.isEmpty())
        name = QStringLiteral("Untitled Folder");
    return QuarryImportedFolder{folderID, name, path};
}

} // namespace

QStringList QuarryFolderImporter::configCandidateURLs(const QString& homePath) {
    const QDir home(homePath);
    return {home.filePath(QStringLiteral("Library/Application Support/Syncthing/config.xml")),
            home.filePath(QStringLiteral(".local/state/syncthing/config.xml")),
            home.filePath(QStringLiteral(".config/syncthing/config.xml"))};
}

std::optional<QList<QuarryImportedFolder>> QuarryFolderImporter::readFolders(QIODevice& device,
                                                                             const QString& homePath) {
    QXmlStreamReader reader(&device);
    reader.setNamespaceProcessing(false);
    QList<QuarryImportedFolder> folders;
    // Syncthing keeps a template for new folders under <defaults> (path "~", no id): not a folder, and
    // offering it would share the whole home folder.
    int defaultsDepth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (reader.qualifiedName() == QLatin1String("defaults"))
                ++defaultsDepth;
            else if (reader.qualifiedName() == QLatin1String("folder") && defaultsDepth == 0)
                folders.append(folderFrom(reader.attributes(), homePath));
            break;
        case QXmlStreamReader::EndElement:
            if (reader.qualifiedName() == QLatin1String("defaults"))
                --defaultsDepth;
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        return std::nullopt;

    folders.removeIf([](const QuarryImportedFolder& folder) { return folder.path.isEmpty(); });
    // Sorted by position, then moved once: GCC 12 takes the std::optional<QString> that
    // std::stable_sort moves around for uninitialized, a false warning that would fail release builds.
    const QCollator collator = nameCollator();
    QList<qsizetype> order(folders.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        return collator.compare(folders.at(a).name, folders.at(b).name) < 0;
    });
    QList<QuarryImportedFolder> sorted;
    sorted.reserve(folders.size());
    for (const qsizetype index : order)
        sorted.append(std::move(folders[index]));
    return sorted;
}

std::optional<QList<QuarryImportedFolder>>
QuarryFolderImporter::loadImportedFolders(const QString& homePath) {
    for (const QString& candidate : configCandidateURLs(homePath)) {
        const QFileInfo info(candidate);
        if (!info.exists() && !info.isSymLink())
            continue;
        // The first candidate that exists decides, readable or not. Only a regular file is opened: a pipe
        // or device there would block the caller.
        if (!info.isFile())
            return std::nullopt;
        QFile file(candidate);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return readFolders(file, homePath);
    }
    return std::nullopt;
}
