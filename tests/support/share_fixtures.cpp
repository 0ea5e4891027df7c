#include "support/share_fixtures.h"

#include "core/password_digest.h"
#include "core/state_document.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

namespace testing_support {

QString statePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Quarry Share/state.json");
}

void writeState(const QByteArray& json) {
    writeFile(statePath(), json);
}

void writeState(const QuarryShareAppState& state) {
    writeState(encodeAppState(state));
}

std::optional<QuarryShareAppState> readState() {
    QFile file(statePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return decodeAppState(file.readAll());
}

QuarryShareAppState stateWith(const QList<QuarryFolderShare>& shares) {
    QuarryShareAppState state;
    state.port = freePort();
    state.shares = shares;
    return state;
}

void writeSyncthingConfig(const QString& folderElements) {
    writeFile(QDir::homePath() + QStringLiteral("/.config/syncthing/config.xml"),
              QStringLiteral("<configuration version=\"37\">%1"
                             "<defaults><folder id=\"\" label=\"\" path=\"~\"></folder></defaults>"
                             "</configuration>")
                  .arg(folderElements)
                  .toUtf8());
}

void writeSyncthingConfig(const QList<QuarryFolderShare>& shares) {
    QString folders;
    for (const QuarryFolderShare& share : shares)
        folders += QStringLiteral("<folder id=\"%1\" label=\"%2\" path=\"%3\"></folder>")
                       .arg(share.sourceFolderID.value_or(share.urlSlug).toHtmlEscaped(),
                            share.name.toHtmlEscaped(), share.path.toHtmlEscaped());
    writeSyncthingConfig(folders);
}

QString makeFolder(const QString& name) {
    const QString path = sandboxRoot() + QStringLiteral("/folders/") + name;
    QDir().mkpath(path);
    return path;
}

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QuarryFolderShare makeShare(const ShareSpec& wanted) {
    QuarryFolderShare share;
    share.source = wanted.source;
    share.sourceFolderID = wanted.folderID;
    share.name = wanted.name;
    share.path =
        wanted.path.isEmpty() ? makeFolder(wanted.name.isEmpty() ? wanted.slug : wanted.name) : wanted.path;
    share.urlSlug = wanted.slug;
    share.isEnabled = wanted.enabled;
    if (wanted.password) {
        share.passwordSalt = QStringLiteral("salt-") + wanted.slug;
        share.passwordDigest = QuarryDigests::passwordDigest(*wanted.password, *share.passwordSalt);
    }
    return share;
}

} // namespace testing_support
