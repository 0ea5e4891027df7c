#include "support/test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QThread>

#include <gtest/gtest.h>

namespace testing_support {

QString sandboxRoot() {
    return qEnvironmentVariable("BRIGHTLOOM_TEST_SANDBOX");
}

QString processSandboxRoot() {
    return qEnvironmentVariable("BRIGHTLOOM_TEST_PROCESS_SANDBOX");
}

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!predicate()) {
        if (deadline.hasExpired())
            return predicate();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

void spin(std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray httpExchange(int port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    return answer + socket.readAll();
}

QByteArray httpGet(int port, const QByteArray& target, const QByteArray& extraHead) {
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHead + "\r\n");
}

std::unique_ptr<QTcpSocket> partialExchange(int port, const QByteArray& request, qsizetype bytes,
                                            QByteArray* taken) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    socket->setReadBufferSize(4096);
    socket->connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!socket->waitForConnected(5000))
        return nullptr;
    socket->write(request);
    QByteArray answer;
    while (answer.size() < bytes && (socket->bytesAvailable() > 0 || socket->waitForReadyRead(10000)))
        answer += socket->read(bytes - answer.size());
    if (taken)
        *taken = answer;
    return socket;
}

int statusOf(const QByteArray& answer) {
    return answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : 0;
}

} // namespace testing_support
