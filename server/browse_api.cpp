#include "server/browse_api.h"

#include "core/text_order.h"
#include "server/json_text.h"

#include "core/path_resolution.h"
#include "server/access.h"
#include "server/utf8_text.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <chrono>
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

QString trimmedSlashes(const QString& text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && text.at(start) == QLatin1Char('/'))
        ++start;
    while (end > start && text.at(end - 1) == QLatin1Char('/'))
        --end;
    return text.mid(start, end - start);
}

// Absent attributes are left out, never written as null.
void writeAttributes(QuarryShareWeb::JsonWriter& json, const std::optional<qint64>& size,
                     const std::optional<QDateTime>& modifiedAt) {
    if (size)
        json.key("size").value(*size);
    if (modifiedAt)
        json.key("modifiedAt").dateValue(*modifiedAt);
}

// Size only for files (a folder's byte count means nothing to a visitor); both only when readable.
void readAttributes(const QFileInfo& info, bool isDirectory, std::optional<qint64>& size,
                    std::optional<QDateTime>& modifiedAt) {
    if (!info.exists())
        return;
    if (!isDirectory)
        size = info.size();
    const QDateTime modified = info.lastModified();
    if (modified.isValid())
        modifiedAt = modified;
}

QString downloadURLFor(const QString& slug, const QString& relativePath, bool isDirectory) {
    QStringList pieces{slug};
    const QStringList components = relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& component : components)
        pieces << QString::fromUtf8(QUrl::toPercentEncoding(component, "!$&'()*+,=:@"));
    return QLatin1Char('/') + pieces.join(QLatin1Char('/')) +
           (isDirectory ? QStringLiteral("/") : QString()) + QStringLiteral("?download=1");
}

// QuarryShareUtilities::relativePath for paths that are resolved already, without resolving them again.
std::optional<QString> relativeToResolved(const QString& resolved, const QString& root) {
    if (resolved == root)
        return QString();
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (root != QLatin1String("/") && resolved.startsWith(prefix))
        return resolved.mid(prefix.size());
    return std::nullopt;
}

// The resolved location of relativePath beneath a resolved root, or nothing when it leaves the root.
std::optional<QString> resolvedBeneath(const QString& root, const QString& relativePath) {
    if (relativePath.contains(QChar(0)))
        return std::nullopt;
    const QString candidate = QuarryShareUtilities::resolvedPathBelow(root, relativePath);
    if (candidate == root || relativeToResolved(candidate, root))
        return candidate;
    return std::nullopt;
}

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

// Where a share's folder really is. Every request of a share starts there, and resolving it reads each
// component of its path: the answer is kept a moment per thread. A link above the share that changes
// meanwhile is seen a second later; nothing escapes in between, since files are opened refusing links.
QString resolvedShareRoot(const QuarryFolderShare& share) {
    struct Kept {
        QString resolved;
        std::chrono::steady_clock::time_point at;
    };
    constexpr auto kFreshFor = std::chrono::seconds(1);
    constexpr qsizetype kKept = 64;
    thread_local QHash<QString, Kept> kept;
    const QString path = share.pathURL();
    const auto now = std::chrono::steady_clock::now();
    if (const auto found = kept.constFind(path); found != kept.cend() && now - found->at < kFreshFor)
        return found->resolved;
    if (kept.size() >= kKept)
        kept.clear();
    return kept.insert(path, Kept{QuarryShareUtilities::resolvedPath(path), now})->resolved;
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

HTTPResponse errorResponse(const QString& message, int status) {
    return HTTPResponse::json({{QStringLiteral("error"), message}}, status);
}

} // namespace

QByteArray DirectoryListingPayload::toData() const {
    QuarryShareWeb::JsonWriter json;
    // The members' names, a date and a size take about 96 bytes an item, besides its name and path.
    size_t bytes = 256;
    for (const DirectoryListingItem& item : items)
        bytes += 96 + static_cast<size_t>(item.name.size() + item.relativePath.size());
    json.reserve(bytes);
    json.beginObject();
    json.key("shareSlug").value(shareSlug).key("directoryPath").value(directoryPath);
    json.key("items").beginArray();
    for (const DirectoryListingItem& item : items)
        QuarryShareWeb::writeListingItem(json, item);
    json.endArray().endObject();
    return json.take();
}

QByteArray ItemMetadataPayload::toData() const {
    QuarryShareWeb::JsonWriter json;
    json.beginObject();
    json.key("shareSlug").value(shareSlug).key("name").value(name).key("relativePath").value(relativePath);
    json.key("isDirectory").value(isDirectory).key("path").value(path).key("downloadURL").value(downloadURL);
    writeAttributes(json, size, modifiedAt);
    json.endObject();
    return json.take();
}

namespace QuarryShareWeb {

void writeListingItem(JsonWriter& json, const DirectoryListingItem& item) {
    json.beginObject();
    json.key("name").value(item.name).key("relativePath").value(item.relativePath);
    json.key("isDirectory").value(item.isDirectory);
    writeAttributes(json, item.size, item.modifiedAt);
    json.endObject();
}

void sortListingItems(QList<DirectoryListingItem>& items, bool thenByPath) {
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

ShareAccess shareForRequest(const HTTPRequest& request, const QString& slug,
                            const QuarryShareServerSnapshot& snapshot) {
    std::optional<QuarryFolderShare> share = enabledShare(snapshot, slug);
    if (!share)
        return {std::nullopt, errorResponse(QStringLiteral("Share not found"), 404)};
    if (!isAuthorized(request, *share))
        return {std::nullopt, errorResponse(QStringLiteral("Password required"), 401)};
    return {std::move(share), HTTPResponse()};
}

QString isoDateText(const QDateTime& moment) {
    return QString::fromLatin1(isoDateBytes(moment));
}

std::optional<QuarryFolderShare> enabledShare(const QuarryShareServerSnapshot& snapshot,
                                              const QString& slug) {
    // Texts that differ only in their Unicode normalisation form name the same share.
    const QString wanted = slug.normalized(QString::NormalizationForm_C);
    for (const QuarryFolderShare& share : snapshot.shares) {
        if (share.isEnabled && share.urlSlug.normalized(QString::NormalizationForm_C) == wanted)
            return share;
    }
    return std::nullopt;
}

QString decodeRelativePath(const QStringList& segments) {
    return segments.join(QLatin1Char('/'));
}

std::optional<QString> resolvedURL(const QuarryFolderShare& share, const QString& relativePath) {
    return resolvedBeneath(resolvedShareRoot(share), relativePath);
}

std::optional<DirectoryListingPayload> buildDirectoryListing(const QuarryFolderShare& share,
                                                             const QString& relativePath) {
    const QString root = resolvedShareRoot(share);
    const std::optional<QString> location = resolvedBeneath(root, relativePath);
    if (!location || !QFileInfo(*location).isDir())
        return std::nullopt;

    DirectoryListingPayload payload{share.urlSlug, trimmedSlashes(relativePath), {}};
    // The folder is fully resolved, so only entries that are links need resolving again.
    const QString folderPath = relativeToResolved(*location, root).value_or(QString());
    const QString prefix = folderPath.isEmpty() ? QString() : folderPath + QLatin1Char('/');
    const QByteArray nativeFolder = QFile::encodeName(*location);
    const auto closeFolder = [](DIR* open) { ::closedir(open); };
    std::unique_ptr<DIR, decltype(closeFolder)> folder(::opendir(nativeFolder.constData()), closeFolder);
    if (!folder)
        return payload;
    // The names first, each ending in a zero byte, in one run of bytes.
    std::string names;
    std::vector<size_t> starts;
    while (const dirent* entry = ::readdir(folder.get())) {
        // Hidden entries, and with them "." and "..", are never listed.
        if (entry->d_name[0] == '.')
            continue;
        const size_t length = std::strlen(entry->d_name);
        if (!isValidUtf8(entry->d_name, length))
            continue;
        starts.push_back(names.size());
        names.append(entry->d_name, length + 1);
    }
    // Then one status read per entry (two for links). Reading them is most of a large folder's time,
    // and it is the kernel's: a large folder is read by a few threads at once, each a part of it.
    const ListingPlace place{::dirfd(folder.get()), *location, root, prefix};
    const auto listPart = [&](size_t part, size_t parts, QList<DirectoryListingItem>& items) {
        const size_t begin = starts.size() * part / parts;
        const size_t end = starts.size() * (part + 1) / parts;
        items.reserve(static_cast<qsizetype>(end - begin));
        for (size_t i = begin; i < end; ++i)
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
    payload.items = std::move(partItems[0]);
    for (size_t part = 1; part < parts; ++part) {
        payload.items.reserve(payload.items.size() + partItems[part].size());
        for (DirectoryListingItem& item : partItems[part])
            payload.items.append(std::move(item));
    }

    sortListingItems(payload.items);
    return payload;
}

std::optional<ItemMetadataPayload> buildItemMetadata(const QuarryFolderShare& share,
                                                     const QString& relativePath) {
    const std::optional<QString> location = resolvedURL(share, relativePath);
    if (!location)
        return std::nullopt;
    const QFileInfo info(*location);
    if (!info.exists())
        return std::nullopt;

    ItemMetadataPayload payload;
    payload.shareSlug = share.urlSlug;
    payload.name = info.fileName().isEmpty() ? *location : info.fileName();
    payload.isDirectory = info.isDir();
    readAttributes(info, payload.isDirectory, payload.size, payload.modifiedAt);
    payload.relativePath = relativeToResolved(*location, resolvedShareRoot(share)).value_or(QString());
    payload.path = *location;
    payload.downloadURL = downloadURLFor(share.urlSlug, payload.relativePath, payload.isDirectory);
    return payload;
}

// Both endpoints: the enabled share of the slug, the visitor's access to it, then the payload for the
// "path" query item ("" for the share's root); nothing on disk is read before access is granted.
template <typename Builder>
HTTPResponse answerForShare(const HTTPRequest& request, const QString& slug,
                            const QuarryShareServerSnapshot& snapshot, Builder build,
                            const QString& missing) {
    const ShareAccess access = shareForRequest(request, slug, snapshot);
    if (!access.share)
        return access.refusal;
    const auto payload = build(*access.share, queryParameters(request).value(QStringLiteral("path")));
    if (!payload)
        return errorResponse(missing, 404);
    return HTTPResponse::jsonData(payload->toData());
}

HTTPResponse handleBrowseJSON(const HTTPRequest& request, const QString& slug,
                              const QuarryShareServerSnapshot& snapshot) {
    return answerForShare(request, slug, snapshot, buildDirectoryListing,
                          QStringLiteral("Directory not found"));
}

HTTPResponse handleMetadataJSON(const HTTPRequest& request, const QString& slug,
                                const QuarryShareServerSnapshot& snapshot) {
    return answerForShare(request, slug, snapshot, buildItemMetadata, QStringLiteral("Item not found"));
}

} // namespace QuarryShareWeb
