#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <gtest/gtest.h>

namespace testing_support {

// A stand-in broker on 127.0.0.1: records each whole request and answers with the canned answer
// (the one given for its path, when there is one), or never answers at all.
struct FakeBroker : QObject {
    struct Request {
        QByteArray method, target, contentType, body;
    };
    int status = 200;
    QByteArray body;
    bool silent = false;
    QList<Request> requests;
    QTcpServer server;

    FakeBroker() {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        });
    }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path));
    }
    void answer(int newStatus, const QByteArray& newBody) { status = newStatus, body = newBody; }
    // Requests whose target contains `pathPart` get this answer instead.
    void answerFor(const QByteArray& pathPart, int newStatus, const QByteArray& newBody) {
        answersByPath.insert(pathPart, {newStatus, newBody});
    }
    QMap<QByteArray, std::pair<int, QByteArray>> answersByPath;

    void serve(QTcpSocket* socket) {
        socket->setProperty("seen", socket->property("seen").toByteArray() + socket->readAll());
        const QByteArray seen = socket->property("seen").toByteArray();
        const qsizetype headEnd = seen.indexOf("\r\n\r\n");
        const auto header = [&](const QByteArray& name) {
            for (const QByteArray& line : seen.left(headEnd).split('\n'))
                if (line.toLower().startsWith(name + ':'))
                    return line.mid(name.size() + 1).trimmed();
            return QByteArray();
        };
        if (headEnd < 0 || seen.size() < headEnd + 4 + header("content-length").toLongLong())
            return;
        const QList<QByteArray> requestLine = seen.left(seen.indexOf("\r\n")).split(' ');
        requests.append(
            {requestLine.value(0), requestLine.value(1), header("content-type"), seen.mid(headEnd + 4)});
        if (silent)
            return;
        std::pair<int, QByteArray> reply{status, body};
        for (auto it = answersByPath.cbegin(); it != answersByPath.cend(); ++it) {
            if (requests.last().target.contains(it.key()))
                reply = it.value();
        }
        socket->write("HTTP/1.1 " + QByteArray::number(reply.first) +
                      " Canned\r\nContent-Length: " + QByteArray::number(reply.second.size()) +
                      "\r\nConnection: close\r\n\r\n" + reply.second);
        socket->disconnectFromHost();
    }
};

} // namespace testing_support
