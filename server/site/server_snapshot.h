#pragma once

#include "core/share_records.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the web server serves from: the application's name and every share the store knows, in order.
// The store hands a fresh one to the server whenever something served changes.
struct QuarryShareServerSnapshot {
    QString appName = QStringLiteral("brightloom Share");
    QList<QuarryFolderShare> shares;
    // Host names answered besides address literals, localhost and this computer's own names: the public
    // link's hostname and the names the user added.
    QStringList hostNames;
    bool operator==(const QuarryShareServerSnapshot&) const = default;
};
