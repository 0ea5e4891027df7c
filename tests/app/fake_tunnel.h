#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

// Stand-ins for the public link's outside parties: a tunnel broker on 127.0.0.1 and cloudflared scripts.
namespace desktop_testing {

class FakeBroker : public QObject {
public:
    FakeBroker();
    QUrl url() const;
    // Answers to the two endpoints; with `silent` the broker takes requests and never answers.
    QByteArray availabilityAnswer = R"({"available":true})";
    QByteArray reservationAnswer;
    bool silent = false;
    int requestCount = 0;

private:
    void serve(class QTcpSocket* socket);
    QTcpServer m_server;
};

// An executable stand-in for cloudflared in the sandbox that runs the shell commands given.
QString writeFakeCloudflared(const QByteArray& behaviour);
// A candidate that never exists, so that no installed cloudflared is ever found.
QString missingCloudflared();

// Secrets go to the private file in the sandbox: no session bus is reachable.
void withoutSessionBus();

} // namespace desktop_testing
