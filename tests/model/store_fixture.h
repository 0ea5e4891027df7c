#pragma once

#include "model/quarry_share_store.h"
#include "model/state_document.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>

namespace store_testing {

inline QString home() {
    return QDir::homePath();
}

inline QString statePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Quarry Share/state.json");
}

inline void writeState(const QByteArray& json) {
    testing_support::writeFile(statePath(), json);
}

inline void writeState(const QuarryShareAppState& state) {
    writeState(encodeAppState(state));
}

inline std::optional<QuarryShareAppState> readState() {
    QFile file(statePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return decodeAppState(file.readAll());
}

// A Syncthing configuration under the test's HOME, in the location a Linux installation uses.
inline void writeSyncthingConfig(const QString& folderElements) {
    testing_support::writeFile(
        home() + QStringLiteral("/.config/syncthing/config.xml"),
        QStringLiteral("<configuration version=\"37\">%1"
                       "<defaults><folder id=\"\" label=\"\" path=\"~\"></folder></defaults>"
                       "</configuration>")
            .arg(folderElements)
            .toUtf8());
}

inline QString makeFolder(const QString& name) {
    const QString path = testing_support::sandboxRoot() + QStringLiteral("/folders/") + name;
    QDir().mkpath(path);
    return path;
}

// A port that nothing listens on right now.
inline int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline QuarryFolderShare customShare(const QString& name, const QString& slug, bool enabled = false) {
    QuarryFolderShare share;
    share.source = QuarryShareSource::custom;
    share.name = name;
    share.path = makeFolder(name);
    share.urlSlug = slug;
    share.isEnabled = enabled;
    return share;
}

// A space imported from Syncthing at an earlier launch, as state.json keeps it.
inline QuarryFolderShare spaceShare(const QString& name, const QString& slug,
                                    std::optional<QString> folderID = std::nullopt) {
    QuarryFolderShare share = customShare(name, slug);
    share.source = QuarryShareSource::quarry;
    share.sourceFolderID = std::move(folderID);
    return share;
}

class RecordingClipboard : public QuarryClipboard {
public:
    void setText(const QString& text) override { copied.append(text); }
    QStringList copied;
};

class ScriptedFolderChooser : public QuarryFolderChooser {
public:
    void chooseFolder(std::function<void(std::optional<QString>)> done) override { done(answer); }
    std::optional<QString> answer;
};

inline bool waitForRunning(QuarryShareStore& store) {
    return testing_support::waitUntil([&] { return store.isServerRunning(); });
}

} // namespace store_testing
