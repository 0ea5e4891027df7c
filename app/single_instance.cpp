#include "app/single_instance.h"

#include "core/diagnostics.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxRequestBytes = 64 * 1024;
constexpr int kConnectionTimeoutMs = 5000;

// The user's runtime folder when the session has one, else the state folder itself: both belong to the
// user alone.
QString instanceFolder(const QString& stateFolder) {
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    return !runtime.isEmpty() && QFileInfo(runtime).isDir() ? runtime : stateFolder;
}

// Names the lock and socket after the state folder, so another state folder runs on its own.
QString basePathFor(const QString& stateFolder) {
    const QString canonical = QFileInfo(stateFolder).canonicalFilePath();
    const QByteArray key = QCryptographicHash::hash((canonical.isEmpty() ? stateFolder : canonical).toUtf8(),
                                                    QCryptographicHash::Sha256)
                               .toHex()
                               .left(16);
    return instanceFolder(stateFolder) + QStringLiteral("/app.brightloom.share-") + QString::fromLatin1(key);
}

// Connects to the running instance's socket; -1 when nobody listens there (yet).
int connectTo(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (encoded.size() >= qsizetype(sizeof(address.sun_path)))
        return -1;
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return -1;
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

bool sendAll(int descriptor, const QByteArray& bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written =
            ::send(descriptor, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        sent += written;
    }
    return true;
}

// One line, up to the deadline.
std::optional<QByteArray> receiveLine(int descriptor, std::chrono::steady_clock::time_point deadline) {
    QByteArray received;
    while (!received.contains('\n')) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd poller{descriptor, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&poller, 1, int(left.count())) <= 0)
            return std::nullopt;
        char buffer[512];
        const ssize_t got = ::recv(descriptor, buffer, sizeof(buffer), 0);
        if (got <= 0)
            return std::nullopt;
        received.append(buffer, got);
    }
    return received.left(received.indexOf('\n'));
}

} // namespace

QuarrySingleInstance::QuarrySingleInstance(const QString& stateFolder, QObject* parent)
    : QObject(parent)
    , m_basePath(basePathFor(stateFolder)) {
    m_lockDescriptor = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockDescriptor < 0) {
        // Without a lock file nothing can be coordinated; run rather than refuse to.
        logDiagnostic(QStringLiteral("Could not open %1 (%2); not checking for another running copy.")
                          .arg(lockPath(), QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    if (::flock(m_lockDescriptor, LOCK_EX | LOCK_NB) != 0) {
        m_runningElsewhere = errno == EWOULDBLOCK;
        ::close(m_lockDescriptor);
        m_lockDescriptor = -1;
    }
}

QuarrySingleInstance::~QuarrySingleInstance() {
    if (m_server) {
        m_server->close();
        QLocalServer::removeServer(socketPath());
    }
    if (m_lockDescriptor >= 0)
        ::close(m_lockDescriptor); // releases the lock
}

bool QuarrySingleInstance::listen(Answer answer) {
    if (m_runningElsewhere || m_server)
        return false;
    m_answer = std::move(answer);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Whoever held the lock before is gone; a socket file left behind by a crash is ours to replace.
    QLocalServer::removeServer(socketPath());
    if (!m_server->listen(socketPath())) {
        logDiagnostic(QStringLiteral("Later starts cannot reach this one: %1").arg(m_server->errorString()));
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &QuarrySingleInstance::answerConnection);
    return true;
}

void QuarrySingleInstance::answerConnection() {
    while (QLocalSocket* connection = m_server->nextPendingConnection()) {
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        // A peer that says nothing, or too much, is dropped.
        QTimer::singleShot(kConnectionTimeoutMs, connection, [connection] { connection->abort(); });
        connect(connection, &QLocalSocket::readyRead, this, [this, connection] {
            if (connection->bytesAvailable() > kMaxRequestBytes) {
                connection->abort();
                return;
            }
            if (!connection->canReadLine())
                return;
            const QJsonDocument request = QJsonDocument::fromJson(connection->readLine().trimmed());
            QStringList arguments;
            for (const QJsonValue& value : request.array())
                arguments.append(value.toString());
            const QString reply = m_answer ? m_answer(arguments) : QString();
            connection->write(reply.toUtf8().replace('\n', ' ') + '\n');
            connection->disconnectFromServer();
        });
    }
}

std::optional<QString> QuarrySingleInstance::handOver(const QStringList& arguments,
                                                      std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int descriptor = -1;
    while ((descriptor = connectTo(socketPath())) < 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const QByteArray request =
        QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact);
    std::optional<QByteArray> reply;
    if (sendAll(descriptor, request + '\n'))
        reply = receiveLine(descriptor, deadline);
    ::close(descriptor);
    if (!reply)
        return std::nullopt;
    return QString::fromUtf8(*reply);
}
