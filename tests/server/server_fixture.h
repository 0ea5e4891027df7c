#pragma once

#include "server/web_server.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <optional>

namespace server_testing {

// A parsed answer as the client saw it on the wire.
struct Reply {
    int status = 0;
    QString reason;
    QList<QPair<QString, QString>> headers; // in the order sent
    QByteArray body;
    QByteArray raw;

    QString header(const QString& name) const;
    QStringList headerNames() const;
    QString text() const { return QString::fromUtf8(body); }
};

std::optional<Reply> parseReply(const QByteArray& raw);

// Connects to 127.0.0.1:port; -1 on failure.
int connectTo(int port);
bool sendAll(int socket, const QByteArray& bytes);
// Reads until the server closes or the timeout passes.
QByteArray readUntilClosed(int socket, std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Whether the server closes the connection within the time without having sent anything.
bool closedWithoutAnswer(int socket, std::chrono::milliseconds timeout);

// Sends the bytes on a fresh connection, optionally ends the sending side, and reads the whole answer.
QByteArray exchange(int port, const QByteArray& request, bool endSending = false);
Reply request(int port, const QString& method, const QString& target, const QByteArray& extraHead = {},
              const QByteArray& body = {});
Reply get(int port, const QString& target, const QByteArray& extraHead = {});

QuarryFolderShare makeShare(const QString& slug, const QString& path, bool enabled = true,
                            const std::optional<QString>& password = std::nullopt, const QString& name = {});

// A running server on a free port with a private temporary folder for share contents.
class RunningServer {
public:
    explicit RunningServer(const QuarryShareServerSnapshot& snapshot = {},
                           const QuarryShareWebServer::Options& options = {});
    ~RunningServer();
    int port() const { return m_port; }
    QuarryShareWebServer& server() { return *m_server; }
    void update(const QuarryShareServerSnapshot& snapshot) { m_server->update(snapshot); }

private:
    std::unique_ptr<QuarryShareWebServer> m_server;
    int m_port = 0;
};

// Creates a file with the given content, making missing folders.
void makeFile(const QString& path, const QByteArray& content = "x");

// Names of the temporary folders an archive leaves behind in TMPDIR.
QStringList leftoverWorkFolders();

} // namespace server_testing
