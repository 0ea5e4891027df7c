#pragma once

#include "support/test_support.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

namespace testing_support {

// One line per launch of the fake programs in `folder`: "<pid> <arguments>|<TUNNEL_TOKEN>|<marker>".
inline QList<QByteArray> launchesIn(const QString& folder) {
    QFile file(folder + "/launches");
    QList<QByteArray> lines =
        file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>{""};
    lines.removeLast(); // only completed lines
    return lines;
}

inline qint64 pidOf(const QByteArray& launch) {
    return launch.left(launch.indexOf(' ')).toLongLong();
}

// Alive and not merely a zombie waiting to be reaped (a killed parent's child is reaped by whoever adopts
// it).
inline bool isAlive(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const qsizetype nameEnd = text.lastIndexOf(')');
    return nameEnd > 0 && text.mid(nameEnd + 2, 1) != "Z";
}

// Writes an executable stand-in for cloudflared that records its launch, then behaves as told.
inline QString writeFakeCloudflared(const QString& folder, const QByteArray& behaviour) {
    const QString path = folder + QStringLiteral("/cloudflared");
    testing_support::writeFile(path, "#!/bin/sh\nprintf '%s %s|%s|%s\\n' \"$$\" \"$*\" \"$TUNNEL_TOKEN\" "
                                     "\"$BRIGHTLOOM_TEST_MARKER\" >> \"$(dirname \"$0\")/launches\"\n" +
                                         behaviour + "\n");
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

} // namespace testing_support
