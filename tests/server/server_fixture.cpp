#include "server_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

int ask(int port, const QByteArray& target, const QByteArray& extraHead) {
    const int socket = connectTo(port);
    sendAll(socket, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHead + "\r\n");
    return socket;
}

Reply answerOf(int socket, std::chrono::milliseconds timeout) {
    const std::optional<Reply> reply = parseReply(readUntilClosed(socket, timeout));
    ::close(socket);
    EXPECT_TRUE(reply.has_value()) << "no answer";
    return reply.value_or(Reply());
}

bool hasAnswered(int socket, std::chrono::milliseconds wait) {
    pollfd entry{socket, POLLIN, 0};
    char byte = 0;
    return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0 &&
           ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

QJsonObject jsonOf(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

QJsonObject jsonOf(const Reply& reply) {
    return jsonOf(reply.body);
}

QStringList itemField(const QJsonObject& answer, const char* field) {
    QStringList values;
    for (const QJsonValue item : answer.value("items").toArray())
        values << item.toObject().value(QLatin1String(field)).toString();
    return values;
}

void makeSparseFile(const QString& path, qint64 size) {
    writeFile(path, {});
    ASSERT_TRUE(QFile::resize(path, size));
}

void setModified(const QString& path, qint64 seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
}

void rewriteKeepingTimes(const QString& path, const QByteArray& bytes) {
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    writeFile(path, bytes);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

QString linkChain(const QString& folder, const QString& target, int hops) {
    QString previous = target;
    for (int i = 0; i < hops; ++i) {
        const QString name = QStringLiteral("hop%1").arg(i);
        EXPECT_TRUE(QFile::link(previous, folder + '/' + name));
        previous = name;
    }
    return previous;
}

namespace {

qint64 statusKiB(qint64 pid, const QByteArray& field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

QByteArray bigEndian16(int value) {
    return QByteArray(1, char(value >> 8)) + char(value & 0xff);
}

QByteArray segment(const char* marker, const QByteArray& body) {
    return QByteArray::fromHex(marker) + bigEndian16(int(body.size()) + 2) + body;
}

} // namespace

qint64 residentKiB(qint64 pid) {
    return statusKiB(pid, "VmRSS");
}

qint64 peakResidentKiB(qint64 pid) {
    return statusKiB(pid, "VmHWM");
}

QByteArray declaredJPEG(int width, int height, int components, bool progressive, int scanComponents) {
    QByteArray frame = QByteArray(1, 8) + bigEndian16(height) + bigEndian16(width) + char(components);
    for (int c = 1; c <= components; ++c)
        frame += QByteArray(1, char(c)) + char(0x11) + char(0);
    // One DC code of one bit, for the value 0.
    const QByteArray table = QByteArray(1, 0) + char(1) + QByteArray(15, 0) + char(0);
    QByteArray scan(1, char(scanComponents));
    for (int c = 1; c <= scanComponents; ++c)
        scan += QByteArray(1, char(c)) + char(0);
    scan += progressive ? QByteArray("\0\0\0", 3) : QByteArray("\0\x3f\0", 3);
    QByteArray jpeg = QByteArray::fromHex("ffd8") + segment("ffdb", QByteArray(1, 0) + QByteArray(64, 1)) +
                      segment(progressive ? "ffc2" : "ffc0", frame) + segment("ffc4", table) +
                      segment("ffda", scan);
    return jpeg + QByteArray(156 - 2 - jpeg.size(), 0) + QByteArray::fromHex("ffd9");
}

QByteArray rawExchange(int port, const QByteArray& request, bool endSending) {
    const int socket = connectTo(port);
    sendAll(socket, request);
    if (endSending)
        ::shutdown(socket, SHUT_WR);
    const QByteArray raw = readUntilClosed(socket);
    ::close(socket);
    return raw;
}

Reply exchange(int port, const QByteArray& request, bool endSending) {
    const std::optional<Reply> reply = parseReply(rawExchange(port, request, endSending));
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

QStringList temporaryLeftovers(const QTemporaryDir& besides) {
    QStringList entries =
        QDir(QDir::tempPath())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    entries.removeAll(QDir(besides.path()).dirName());
    return entries;
}

namespace {

// Takes one chunk off the front of pending: its bytes, or an empty array for the last chunk; nothing
// while more input is needed; false in `broken` when the framing is wrong.
std::optional<QByteArray> nextChunk(QByteArray& pending, bool& broken) {
    const qsizetype lineEnd = pending.indexOf("\r\n");
    if (lineEnd < 0)
        return std::nullopt;
    bool ok = false;
    const qint64 size = pending.left(lineEnd).toLongLong(&ok, 16);
    if (!ok || size < 0) {
        broken = true;
        return std::nullopt;
    }
    const qsizetype needed = lineEnd + 2 + size + 2;
    if (pending.size() < needed)
        return std::nullopt;
    if (pending.mid(needed - 2, 2) != "\r\n") {
        broken = true;
        return std::nullopt;
    }
    QByteArray chunk = pending.mid(lineEnd + 2, size);
    pending.remove(0, needed);
    return chunk;
}

} // namespace

bool endedShort(const QByteArray& raw) {
    const qsizetype end = raw.indexOf("\r\n\r\n");
    const Reply head = parseReply(raw.left(end + 4)).value_or(Reply());
    if (head.header(QStringLiteral("Transfer-Encoding")) == QLatin1String("chunked"))
        return !raw.endsWith("\r\n0\r\n\r\n");
    return raw.size() - end - 4 < head.header(QStringLiteral("Content-Length")).toLongLong();
}

std::optional<QByteArray> dechunked(const QByteArray& body) {
    QByteArray pending = body;
    QByteArray decoded;
    bool broken = false;
    while (const std::optional<QByteArray> chunk = nextChunk(pending, broken)) {
        if (chunk->isEmpty())
            return pending.isEmpty() ? std::optional<QByteArray>(decoded) : std::nullopt;
        decoded += *chunk;
    }
    return std::nullopt;
}

namespace {

// Appends bytes to an open file, leaving runs of zeros as holes: archives of sparse files take no room.
void appendSparsely(int file, const char* data, qint64 size) {
    constexpr qint64 kBlock = 64 * 1024;
    for (qint64 at = 0; at < size; at += kBlock) {
        const qint64 length = qMin(kBlock, size - at);
        static const char none[kBlock] = {};
        const bool zeros = std::memcmp(data + at, none, static_cast<size_t>(length)) == 0;
        if (zeros)
            ::lseek(file, length, SEEK_CUR);
        else if (::write(file, data + at, static_cast<size_t>(length)) != length)
            ADD_FAILURE() << "could not write the answer";
    }
}

} // namespace

SavedAnswer saveAnswer(int port, const QString& target, const QString& path, const QByteArray& extraHead) {
    SavedAnswer answer;
    const int file =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0)
        return answer;
    const int socket = connectTo(port);
    sendAll(socket, "GET " + target.toUtf8() + " HTTP/1.1\r\n" + extraHead + "\r\n");
    QByteArray pending;
    bool inBody = false;
    bool chunked = false;
    bool broken = false;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::recv(socket, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        pending.append(buffer, got);
        if (!inBody) {
            const qsizetype end = pending.indexOf("\r\n\r\n");
            if (end < 0)
                continue;
            const std::optional<Reply> head = parseReply(pending.left(end + 4));
            if (!head)
                break;
            answer.status = head->status;
            answer.entityTag = head->header(QStringLiteral("ETag"));
            chunked = head->header(QStringLiteral("Transfer-Encoding")) == QLatin1String("chunked");
            answer.length = chunked ? -1 : head->header(QStringLiteral("Content-Length")).toLongLong();
            pending.remove(0, end + 4);
            inBody = true;
        }
        if (!chunked) {
            appendSparsely(file, pending.constData(), pending.size());
            answer.bytes += pending.size();
            pending.clear();
            answer.complete = answer.bytes == answer.length;
            if (answer.bytes >= answer.length)
                break;
            continue;
        }
        while (const std::optional<QByteArray> chunk = nextChunk(pending, broken)) {
            if (chunk->isEmpty()) {
                answer.complete = true;
                break;
            }
            appendSparsely(file, chunk->constData(), chunk->size());
            answer.bytes += chunk->size();
        }
        if (broken || answer.complete)
            break;
    }
    // A byte past the promised length is as wrong as one short of it.
    if (!chunked && answer.complete && ::recv(socket, buffer, 1, 0) > 0)
        answer.complete = false;
    ::close(socket);
    if (::ftruncate(file, answer.bytes) != 0)
        ADD_FAILURE() << "could not size the answer";
    ::close(file);
    return answer;
}

QStringList zipFileEntries(const QString& path) {
    QProcess test;
    test.setStandardOutputFile(QProcess::nullDevice());
    test.start(QStringLiteral("/usr/bin/unzip"), {QStringLiteral("-tq"), path});
    if (!test.waitForFinished(300000) || test.exitStatus() != QProcess::NormalExit || test.exitCode() != 0)
        return {};
    QProcess list;
    list.start(QStringLiteral("/usr/bin/unzip"), {QStringLiteral("-Z1"), path});
    list.waitForFinished(120000);
    QStringList entries =
        QString::fromUtf8(list.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    entries.sort();
    return entries;
}

QStringList archiveEntries(const QByteArray& bytes) {
    QTemporaryDir folder;
    const QString path = folder.path() + QStringLiteral("/archive.zip");
    testing_support::writeFile(path, bytes);
    return zipFileEntries(path);
}

QStringList pythonZipReport(const QString& path, bool checkContent) {
    static const QString script = QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    if sys.argv[2] == "1" and archive.testzip() is not None:
        sys.exit(1)
    for info in archive.infolist():
        kind = "stored" if info.compress_type == zipfile.ZIP_STORED else "deflated"
        utf8 = "utf8" if info.flag_bits & 0x800 else "plain"
        sys.stdout.buffer.write(("%s %s %d %s\n" % (utf8, kind, info.file_size, info.filename)).encode())
)");
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, path,
                                             checkContent ? QStringLiteral("1") : QStringLiteral("0")});
    if (!python.waitForFinished(300000) || python.exitStatus() != QProcess::NormalExit ||
        python.exitCode() != 0) {
        ADD_FAILURE() << "zipfile: " << python.readAllStandardError().toStdString();
        return {};
    }
    QStringList lines =
        QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

QStringList zipToolsRejecting(const QString& path) {
    static const QString python = QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    sys.exit(archive.testzip() is not None)
)");
    QList<QPair<QString, QStringList>> tools{{QStringLiteral("/usr/bin/unzip"), {QStringLiteral("-tq")}},
                                             {QStringLiteral("python3"), {QStringLiteral("-c"), python}},
                                             {QStringLiteral("/usr/bin/bsdtar"), {QStringLiteral("-tf")}}};
    if (QFile::exists(QStringLiteral("/usr/bin/7z")))
        tools.append({QStringLiteral("/usr/bin/7z"), {QStringLiteral("t")}});
    // All at once: each reads the whole archive, some slowly.
    std::vector<std::unique_ptr<QProcess>> running;
    for (const auto& [program, arguments] : tools) {
        running.push_back(std::make_unique<QProcess>());
        running.back()->setStandardOutputFile(QProcess::nullDevice());
        running.back()->start(program, arguments + QStringList{path});
    }
    QStringList rejecting;
    for (size_t i = 0; i < running.size(); ++i) {
        QProcess& tool = *running[i];
        if (!tool.waitForFinished(600000) || tool.exitStatus() != QProcess::NormalExit ||
            tool.exitCode() != 0)
            rejecting << QFileInfo(tools[static_cast<qsizetype>(i)].first).fileName();
    }
    return rejecting;
}

} // namespace server_testing
