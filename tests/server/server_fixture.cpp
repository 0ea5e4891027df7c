#include "server_fixture.h"

#include <QDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace server_testing {

QString Reply::header(const QString& name) const {
    for (const auto& pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return QString();
}

QStringList Reply::headerNames() const {
    QStringList names;
    for (const auto& pair : headers)
        names << pair.first;
    return names;
}

std::optional<Reply> parseReply(const QByteArray& raw) {
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (end < 0)
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(raw.left(end)).split(QStringLiteral("\r\n"));
    const QStringList statusLine = lines.first().split(QLatin1Char(' '));
    if (statusLine.size() < 3 || statusLine.at(0) != QLatin1String("HTTP/1.1"))
        return std::nullopt;
    Reply reply;
    reply.status = statusLine.at(1).toInt();
    reply.reason = statusLine.mid(2).join(QLatin1Char(' '));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(QStringLiteral(": "));
        if (colon < 0)
            return std::nullopt;
        reply.headers.append({lines.at(i).left(colon), lines.at(i).mid(colon + 2)});
    }
    reply.body = raw.mid(end + 4);
    return reply;
}

int connectTo(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(socket);
        return -1;
    }
    return socket;
}

bool sendAll(int socket, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t sent =
            ::send(socket, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += sent;
    }
    return true;
}

QByteArray readUntilClosed(int socket, std::chrono::milliseconds timeout) {
    QByteArray received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    pollfd entry{socket, POLLIN, 0};
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(&entry, 1, 20) <= 0)
            continue;
        const ssize_t got = ::recv(socket, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        received.append(buffer, got);
    }
    return received;
}

Reply exchange(int port, const QByteArray& request, bool endSending) {
    const int socket = connectTo(port);
    sendAll(socket, request);
    if (endSending)
        ::shutdown(socket, SHUT_WR);
    const std::optional<Reply> reply = parseReply(readUntilClosed(socket));
    ::close(socket);
    EXPECT_TRUE(reply.has_value()) << "no answer to " << request.left(80).toStdString();
    return reply.value_or(Reply());
}

Reply request(int port, const QString& method, const QString& target, const QByteArray& extraHead,
              const QByteArray& body) {
    QByteArray bytes =
        method.toUtf8() + ' ' + target.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHead;
    if (!body.isEmpty())
        bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return exchange(port, bytes + "\r\n" + body);
}

Reply get(int port, const QString& target, const QByteArray& extraHead) {
    return request(port, QStringLiteral("GET"), target, extraHead);
}

void ServedFolder::serve(const QuarryShareWebServer::Options& options) {
    server = std::make_unique<QuarryShareWebServer>();
    server->setOptions(options);
    ASSERT_TRUE(server->start(0, snapshot).ok());
    ASSERT_TRUE(testing_support::waitUntil([this] { return server->listeningPort() != 0; }));
}

QStringList leftoverWorkFolders() {
    return QDir(QDir::tempPath())
        .entryList({QStringLiteral("QuarryShare-*")}, QDir::AllEntries | QDir::Hidden);
}

} // namespace server_testing
