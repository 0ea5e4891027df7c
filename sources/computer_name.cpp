#include "sources/share_utilities.h"

#include "core/share_records.h"

#include <QFile>
#include <QSysInfo>

namespace {

// machine-info is tiny; a larger file is not one.
constexpr qint64 kMachineInfoLimit = 64 * 1024;

// The value of a shell-style assignment: quotes removed, backslash escapes resolved, and unquoted
// white space at either end ignored, the way systemd reads these files.
QString unquotedValue(const QString& raw) {
    QString value;
    const QString text = raw.trimmed();
    QChar quote;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quote == QLatin1Char('\'')) {
            if (c == quote)
                quote = QChar();
            else
                value += c;
        } else if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            const QChar next = text.at(++i);
            // Inside double quotes a backslash only escapes the characters the shell gives it to.
            if (quote == QLatin1Char('"') && !QStringLiteral("\"\\`$").contains(next))
                value += c;
            value += next;
        } else if (quote == QLatin1Char('"')) {
            if (c == quote)
                quote = QChar();
            else
                value += c;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
        } else {
            value += c;
        }
    }
    return value;
}

std::optional<QString> prettyHostname(const QString& machineInfoPath) {
    QFile file(machineInfoPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString text = QString::fromUtf8(file.read(kMachineInfoLimit));
    std::optional<QString> pretty;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')) || trimmed.startsWith(QLatin1Char(';')))
            continue;
        const qsizetype equals = trimmed.indexOf(QLatin1Char('='));
        if (equals < 0 || trimmed.left(equals).trimmed() != QLatin1String("PRETTY_HOSTNAME"))
            continue;
        pretty = unquotedValue(trimmed.mid(equals + 1));
    }
    return pretty;
}

} // namespace

namespace QuarryShareUtilities {

QString computerName(const QString& machineInfoPath, const QString& hostName) {
    const std::optional<QString> pretty = prettyHostname(machineInfoPath);
    if (pretty && !trimmedText(*pretty).isEmpty())
        return *pretty;
    return hostName;
}

QString computerName() {
    return computerName(QStringLiteral("/etc/machine-info"), QSysInfo::machineHostName());
}

} // namespace QuarryShareUtilities
