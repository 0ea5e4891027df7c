#include "server/http/file_headers.h"

#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>

#include <mutex>

namespace {

QString withoutControlCharacters(const QString& text) {
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() != QChar::Other_Control)
            clean.append(c);
    }
    return clean;
}

// Control characters, double quotes and backslashes removed, so nothing in the name can end or escape
// the quoted text (a backslash escapes the next character: one at the end would swallow the quote).
QString cleanFileName(const QString& fileName) {
    QString name = withoutControlCharacters(fileName);
    name.remove(QLatin1Char('"'));
    name.remove(QLatin1Char('\\'));
    return name;
}

} // namespace

namespace QuarryHTTP {

QString contentDisposition(const QString& fileName) {
    return QStringLiteral("attachment; filename=\"") + cleanFileName(fileName) + QLatin1Char('"');
}

QString inlineDisposition(const QString& fileName) {
    return QStringLiteral("inline; filename=\"") + cleanFileName(fileName) + QLatin1Char('"');
}

QString mimeTypeForName(const QString& fileName) {
    static const QString fallback = QStringLiteral("application/octet-stream");
    const QString suffix = QFileInfo(fileName).suffix();
    if (suffix.isEmpty())
        return fallback;
    // The database calls a HEIC photo image/heif; its own registered type is image/heic.
    if (suffix.compare(QLatin1String("heic"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("image/heic");
    // Matching a name against the database's patterns builds regular expressions each time, which costs
    // more than the rest of a small download: answers are kept per name, a bounded number of them.
    constexpr qsizetype kKeptNames = 1024;
    static std::mutex lock;
    static QHash<QString, QString> known;
    {
        const std::lock_guard locker(lock);
        const auto found = known.constFind(fileName);
        if (found != known.cend())
            return *found;
    }
    const QMimeType type = QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    const QString name = type.isValid() && !type.isDefault() ? type.name() : fallback;
    const std::lock_guard locker(lock);
    if (known.size() >= kKeptNames)
        known.clear();
    known.insert(fileName, name);
    return name;
}

} // namespace QuarryHTTP
