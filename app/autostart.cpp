#include "app/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr char kCommand[] = "brightloom-share";

// One argument of an Exec key: quoted when it holds a reserved character, with the quoting escapes
// first and the string escapes (each backslash doubled again) after them; "%" doubled for field codes.
QString execArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    QString text = argument;
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return reserved.contains(c); })) {
        QString quoted;
        for (const QChar c : text) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        text = QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    text.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return text;
}

// A key of the [Desktop Entry] group as written, the last one when it is there twice (no locale
// handling: the keys read are plain).
QString entryValue(const QByteArray& entry, const QByteArray& key) {
    bool inGroup = false;
    QString value;
    for (QByteArray line : entry.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('[')) {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inGroup && equals > 0 && line.left(equals).trimmed() == key)
            value = QString::fromUtf8(line.mid(equals + 1).trimmed());
    }
    return value;
}

} // namespace

QuarryAutostart::QuarryAutostart(QString executable, QObject* parent)
    : QObject(parent)
    , m_executable(std::move(executable)) {
    refresh();
}

QString QuarryAutostart::filePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/app.brightloom.share.desktop");
}

bool QuarryAutostart::entryIsEnabled(const QByteArray& entry) {
    if (!entry.contains("[Desktop Entry]"))
        return false;
    return entryValue(entry, "Hidden") != QLatin1String("true") &&
           entryValue(entry, "X-GNOME-Autostart-enabled") != QLatin1String("false");
}

QByteArray QuarryAutostart::entryFor(const QString& executable) {
    // The installed command by name, so the entry survives upgrades; anything else by its path.
    const QString installed = QStandardPaths::findExecutable(QString::fromLatin1(kCommand));
    const QString canonical = QFileInfo(executable).canonicalFilePath();
    const QString program = !installed.isEmpty() && QFileInfo(installed).canonicalFilePath() == canonical
                                ? QString::fromLatin1(kCommand)
                                : execArgument(executable);
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=brightloom Share\n"
                          "Comment=Keeps your shares online from the start of the session\n"
                          "Exec=%1 --hidden\n"
                          "Icon=app.brightloom.share\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(program)
        .toUtf8();
}

void QuarryAutostart::refresh() {
    QFile file(filePath());
    setState(file.open(QIODevice::ReadOnly) && entryIsEnabled(file.read(64 * 1024)));
}

void QuarryAutostart::setEnabled(bool enabled) {
    const QString path = filePath();
    if (enabled) {
        if (m_executable.contains(QLatin1Char('\n')) || m_executable.contains(QLatin1Char('\r'))) {
            Q_EMIT failed(
                QStringLiteral("This program's path cannot be written into a start-at-login entry."));
            return refresh();
        }
        QDir().mkpath(QFileInfo(path).path());
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(entryFor(m_executable)) < 0 || !file.commit()) {
            Q_EMIT failed(QStringLiteral("Couldn't turn on start at login: %1").arg(file.errorString()));
            return refresh();
        }
    } else if (QFileInfo::exists(path) && !QFile::remove(path)) {
        Q_EMIT failed(QStringLiteral("Couldn't turn off start at login: %1 cannot be removed.").arg(path));
        return refresh();
    }
    refresh();
}

void QuarryAutostart::setState(bool enabled) {
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    Q_EMIT enabledChanged();
}
