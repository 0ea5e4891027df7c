#include "tests/app/fake_tunnel.h"

#include "support/test_support.h"

#include <QFile>
#include <QTcpSocket>

namespace desktop_testing {

FakeBroker::FakeBroker() {
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QUrl FakeBroker::url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

void FakeBroker::serve(QTcpSocket* socket) {
    const QByteArray seen = socket->property("seen").toByteArray() + socket->readAll();
    socket->setProperty("seen", seen);
    const qsizetype headEnd = seen.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    qsizetype length = 0;
    for (const QByteArray& line : seen.left(headEnd).split('\n')) {
        if (line.toLower().startsWith("content-length:"))
            length = line.mid(15).trimmed().toLongLong();
    }
    if (seen.size() < headEnd + 4 + length)
        return;
    ++requestCount;
    if (silent)
        return;
    const QByteArray body = seen.contains("api/tunnels/reserve") ? reservationAnswer : availabilityAnswer;
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}

QString writeFakeCloudflared(const QByteArray& behaviour) {
    const QString path = testing_support::sandboxRoot() + QStringLiteral("/bin/cloudflared");
    testing_support::writeFile(path, "#!/bin/sh\n" + behaviour + "\n");
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QString missingCloudflared() {
    return testing_support::sandboxRoot() + QStringLiteral("/nowhere/cloudflared");
}

void withoutSessionBus() {
    qputenv("DBUS_SESSION_BUS_ADDRESS",
            ("unix:path=" + testing_support::sandboxRoot() + QStringLiteral("/no-session-bus")).toUtf8());
}

} // namespace desktop_testing
