#include "server/files/folder_listing.h"

#include "core/path_resolution.h"
#include "core/text_order.h"
#include "server/files/beneath.h"
#include "server/files/containment.h"
#include "server/files/utf8_text.h"

#include <QCollator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A name on disk as text: ASCII, most names, is widened as it stands; the rest is decoded as any name is.
QString decodedName(const char* name) {
    const char* end = name;
    bool ascii = true;
    for (; *end; ++end)
        ascii = ascii && static_cast<unsigned char>(*end) < 0x80;
    return ascii ? QString::fromLatin1(name, end - name) : QFile::decodeName(name);
}

// Entries of a folder read by one thread, at least: fewer are not worth another thread.
constexpr size_t kEntriesPerReader = 2048;

// The folder being listed: open, where it really is, and where it is in its share.
struct ListingPlace {
    int folder;
    const QString& location;
    const QString& root;
    // The folder's path in its share with a "/" after it ("" for the share's root).
    const QString& prefix;
};

// Appends the item of one entry of the folder, unless it is left out (a link leading out of the share).
void appendListingItem(const ListingPlace& place, const char* entryName, QList<DirectoryListingItem>& items) {
    const QString name = decodedName(entryName);
    struct stat status {};
    const bool known = ::fstatat(place.folder, entryName, &status, AT_SYMLINK_NOFOLLOW) == 0;
    DirectoryListingItem item;
    bool readable = known;
    if (!known || S_ISLNK(status.st_mode) || place.root == QLatin1String("/")) {
        const std::optional<QString> entryPath =
            QuarryShareUtilities::relativePath(place.location + QLatin1Char('/') + name, place.root);
        if (!entryPath)
            return;
        // A link whose target's path is not UTF-8 leads where no listed path can follow.
        if (entryPath->contains(QChar::ReplacementCharacter) && *entryPath != place.prefix + name &&
            !QFileInfo::exists(place.root + QLatin1Char('/') + *entryPath))
            return;
        item.relativePath = *entryPath;
        readable = known && ::fstatat(place.folder, entryName, &status, 0) == 0;
    } else {
        item.relativePath = place.prefix + name;
    }
    item.name = name;
    if (readable) {
        item.isDirectory = S_ISDIR(status.st_mode);
        if (!item.isDirectory)
            item.size = static_cast<qint64>(status.st_size);
        item.modifiedAt = QDateTime::fromSecsSinceEpoch(status.st_mtim.tv_sec, Qt::UTC);
    }
    items.append(std::move(item));
}

// Sort keys of the names this thread has sorted lately. The same folders are listed again and again,
// and making a name's key costs more than everything else done for its entry.
class SortKeys {
public:
    // Once per sort: a change of the user's locale makes every kept key wrong.
    void followLocale() {
        const QLocale locale;
        if (!m_collator || m_locale != locale) {
            m_collator.emplace(nameCollator());
            m_locale = locale;
            m_keys.clear();
        }
    }

    QCollatorSortKey of(const QString& text) {
        if (const auto found = m_keys.constFind(text); found != m_keys.cend())
            return *found;
        if (m_keys.size() >= kKept)
            m_keys.clear();
        return *m_keys.emplace(text, m_collator->sortKey(text));
    }

private:
    // About 2 MiB for each thread that lists.
    static constexpr qsizetype kKept = 12000;
    std::optional<QCollator> m_collator;
    QLocale m_locale;
    QHash<QString, QCollatorSortKey> m_keys;
};

} // namespace

namespace QuarryFolderListing {

std::optional<QList<DirectoryListingItem>> read(const QString& root, const QString& location,
                                                const std::function<bool()>& stopRequested) {
    // Asked every so many entries: often enough to stop within a millisecond or so.
    constexpr size_t kEntriesBetweenAsking = 256;
    const auto stopping = [&stopRequested](size_t entry) {
        return entry % kEntriesBetweenAsking == 0 && stopRequested && stopRequested();
    };
    if (!QFileInfo(location).isDir())
        return std::nullopt;
    // The folder is fully resolved, so only entries that are links need resolving again.
    const QString folderPath = QuarryContainment::relativeToResolved(location, root).value_or(QString());
    const QString prefix = folderPath.isEmpty() ? QString() : folderPath + QLatin1Char('/');
    QuarryDescriptor opened =
        QuarryBeneath::openResolved(QFile::encodeName(location), O_RDONLY | O_DIRECTORY);
    const auto closeFolder = [](DIR* open) { ::closedir(open); };
    std::unique_ptr<DIR, decltype(closeFolder)> folder(opened.isOpen() ? ::fdopendir(opened.get()) : nullptr,
                                                       closeFolder);
    if (!folder)
        return QList<DirectoryListingItem>();
    opened.release(); // the listing holds it now
    // The names first, each ending in a zero byte, in one run of bytes.
    std::string names;
    std::vector<size_t> starts;
    for (size_t read = 1; const dirent* entry = ::readdir(folder.get()); ++read) {
        if (stopping(read))
            return QList<DirectoryListingItem>();
        // Hidden entries, and with them "." and "..", are never listed.
        if (entry->d_name[0] == '.')
            continue;
        const size_t length = std::strlen(entry->d_name);
        if (!QuarryUTF8Text::isValid(entry->d_name, length))
            continue;
        starts.push_back(names.size());
        names.append(entry->d_name, length + 1);
    }
    // Then one status read per entry (two for links). Reading them is most of a large folder's time,
    // and it is the kernel's: a large folder is read by a few threads at once, each a part of it.
    const ListingPlace place{::dirfd(folder.get()), location, root, prefix};
    const auto listPart = [&](size_t part, size_t parts, QList<DirectoryListingItem>& items) {
        const size_t begin = starts.size() * part / parts;
        const size_t end = starts.size() * (part + 1) / parts;
        items.reserve(static_cast<qsizetype>(end - begin));
        for (size_t i = begin; i < end && !stopping(i - begin + 1); ++i)
            appendListingItem(place, names.data() + starts[i], items);
    };
    const size_t parts = std::clamp<size_t>(starts.size() / kEntriesPerReader, 1,
                                            static_cast<size_t>(qBound(1, QThread::idealThreadCount(), 4)));
    std::vector<QList<DirectoryListingItem>> partItems(parts);
    std::vector<std::thread> readers;
    for (size_t part = 1; part < parts; ++part) {
        try {
            readers.emplace_back(listPart, part, parts, std::ref(partItems[part]));
        } catch (const std::system_error&) {
            // No thread to be had (the process is at its limit): this thread reads that part itself.
            listPart(part, parts, partItems[part]);
        }
    }
    listPart(0, parts, partItems[0]);
    for (std::thread& reader : readers)
        reader.join();
    QList<DirectoryListingItem> items = std::move(partItems[0]);
    for (size_t part = 1; part < parts; ++part) {
        items.reserve(items.size() + partItems[part].size());
        for (DirectoryListingItem& item : partItems[part])
            items.append(std::move(item));
    }
    return items;
}

void sort(QList<DirectoryListingItem>& items, bool thenByPath) {
    // In the user's locale, ignoring case; sort keys are made once per name and kept for the next time.
    thread_local SortKeys sortKeys;
    sortKeys.followLocale();
    std::vector<QCollatorSortKey> names;
    std::vector<QCollatorSortKey> paths;
    names.reserve(static_cast<size_t>(items.size()));
    if (thenByPath)
        paths.reserve(static_cast<size_t>(items.size()));
    for (const DirectoryListingItem& item : std::as_const(items)) {
        names.push_back(sortKeys.of(item.name));
        if (thenByPath)
            paths.push_back(sortKeys.of(item.relativePath));
    }
    // The sort moves plain indices; keys and items stay where they are until the end.
    std::vector<size_t> order(names.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const DirectoryListingItem& first = items.at(static_cast<qsizetype>(a));
        const DirectoryListingItem& second = items.at(static_cast<qsizetype>(b));
        if (first.isDirectory != second.isDirectory)
            return first.isDirectory;
        if (const int byName = names[a].compare(names[b]))
            return byName < 0;
        if (thenByPath) {
            if (const int byPath = paths[a].compare(paths[b]))
                return byPath < 0;
            return first.relativePath < second.relativePath;
        }
        return false;
    });
    QList<DirectoryListingItem> sorted;
    sorted.reserve(items.size());
    for (const size_t index : order)
        sorted.append(std::move(items[static_cast<qsizetype>(index)]));
    items = std::move(sorted);
}

} // namespace QuarryFolderListing
