#include "store/keychain_file.h"

#include "core/app_paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSaveFile>

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kDomain[] = "QuarryShareKeychain";
constexpr int kDamagedFileCode = 1;
// A few tokens take a few hundred bytes; anything far larger is not this file.
constexpr qint64 kFileSizeLimit = 4 * 1024 * 1024;
constexpr QFileDevice::Permissions kUserOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

struct Item {
    QString service;
    QString account;
    QString secret;
};

// Every read-modify-write of the file happens under this lock.
std::mutex& fileLock() {
    static std::mutex lock;
    return lock;
}

QuarryError damagedFile(const QString& path) {
    return {QString::fromLatin1(kDomain), kDamagedFileCode,
            QStringLiteral("The secrets file %1 is damaged; it was left as it is.").arg(path)};
}

QuarryError fileError(const QFileDevice& file, const QString& path, const QString& action) {
    return {QString::fromLatin1(kDomain), static_cast<int>(file.error()),
            QStringLiteral("The secrets file %1 cannot be %2: %3").arg(path, action, file.errorString())};
}

QuarryResult<QList<Item>> readItems(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return QList<Item>{};
    if (!file.open(QIODevice::ReadOnly))
        return fileError(file, path, QStringLiteral("read"));
    if (file.size() > kFileSizeLimit)
        return damagedFile(path);
    const QByteArray bytes = file.readAll();
    // An empty file is the placeholder a save creates before it writes.
    if (bytes.trimmed().isEmpty())
        return QList<Item>{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const QJsonValue entries = document.object().value(QLatin1String("items"));
    if (!document.isObject() || !entries.isArray())
        return damagedFile(path);
    QList<Item> items;
    for (const QJsonValue& entry : entries.toArray()) {
        const QJsonObject object = entry.toObject();
        const QJsonValue service = object.value(QLatin1String("service"));
        const QJsonValue account = object.value(QLatin1String("account"));
        const QJsonValue secret = object.value(QLatin1String("secret"));
        if (!service.isString() || !account.isString() || !secret.isString())
            return damagedFile(path);
        items.append({service.toString(), account.toString(), secret.toString()});
    }
    return items;
}

// Makes sure the file exists and is the user's alone before any secret goes near it, so the temporary
// file of the atomic write starts out with the same private permissions.
void preparePrivateFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    struct stat info {};
    if (::lstat(native.constData(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077))
        ::chmod(native.constData(), 0600);
}

QuarryResult<void> writeItems(const QString& path, const QList<Item>& items) {
    QJsonArray entries;
    for (const Item& item : items) {
        entries.append(QJsonObject{{QStringLiteral("service"), item.service},
                                   {QStringLiteral("account"), item.account},
                                   {QStringLiteral("secret"), item.secret}});
    }
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{QStringLiteral("items"), entries}}).toJson(QJsonDocument::Indented);

    preparePrivateFile(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fileError(file, path, QStringLiteral("written"));
    if (!file.setPermissions(kUserOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return fileError(file, path, QStringLiteral("written"));
    return {};
}

qsizetype indexOf(const QList<Item>& items, const QString& service, const QString& account) {
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (items[i].service == service && items[i].account == account)
            return i;
    }
    return -1;
}

} // namespace

namespace QuarryKeychainFile {

QString filePath() {
    return QFileInfo(QuarryShareUtilities::appStateURL()).absolutePath() + QStringLiteral("/secrets.json");
}

QuarryResult<void> save(const QString& service, const QString& account, const QString& value) {
    const std::lock_guard locker(fileLock());
    const QString path = filePath();
    QuarryResult<QList<Item>> items = readItems(path);
    if (!items)
        return items.error();
    const qsizetype index = indexOf(*items, service, account);
    if (index >= 0)
        items.value()[index].secret = value;
    else
        items.value().append({service, account, value});
    return writeItems(path, *items);
}

QuarryResult<std::optional<QString>> read(const QString& service, const QString& account) {
    const std::lock_guard locker(fileLock());
    const QString path = filePath();
    const QuarryResult<QList<Item>> items = readItems(path);
    if (!items)
        return items.error();
    const qsizetype index = indexOf(*items, service, account);
    if (index < 0)
        return std::optional<QString>();
    return std::optional<QString>(items->at(index).secret);
}

void remove(const QString& service, const QString& account) {
    const std::lock_guard locker(fileLock());
    const QString path = filePath();
    QuarryResult<QList<Item>> items = readItems(path);
    if (!items)
        return;
    const qsizetype index = indexOf(*items, service, account);
    if (index < 0)
        return;
    items.value().removeAt(index);
    (void)writeItems(path, *items);
}

} // namespace QuarryKeychainFile
