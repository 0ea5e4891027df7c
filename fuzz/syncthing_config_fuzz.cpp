// Syncthing's configuration file as it may be found on disk: any bytes. Reading it either fails as a
// whole or yields folders that can be offered as shares, in order, none from the new-folder template.
#include "fuzz_support.h"

#include "core/text_order.h"
#include "sources/folder_importer.h"

#include <QBuffer>
#include <QCollator>

namespace {

const QString kHome = QStringLiteral("/home/visitor");

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuarryFuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer device(&input);
    device.open(QIODevice::ReadOnly);
    const std::optional<QList<QuarryImportedFolder>> folders =
        QuarryFolderImporter::readFolders(device, kHome);
    if (!folders)
        return 0;
    static const QCollator collator = nameCollator();
    for (qsizetype i = 0; i < folders->size(); ++i) {
        const QuarryImportedFolder& folder = folders->at(i);
        FUZZ_CHECK(!folder.path.isEmpty(), input);
        FUZZ_CHECK(!folder.name.isEmpty(), input);
        FUZZ_CHECK(!folder.folderID || !folder.folderID->isEmpty(), input);
        FUZZ_CHECK(!folder.folderID || trimmedText(*folder.folderID) == *folder.folderID, input);
        // "~" stands for the home folder given, never for whoever runs the reader.
        FUZZ_CHECK(folder.path != QLatin1String("~") && !folder.path.startsWith(QStringLiteral("~/")), input);
        if (i > 0)
            FUZZ_CHECK(collator.compare(folders->at(i - 1).name, folder.name) <= 0, input);
    }
    return 0;
}
