#pragma once

#include "server/web_server.h"
#include "support/share_fixtures.h"
#include "support/test_support.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

namespace server_testing {

using testing_support::makeShare;
using testing_support::writeFile;

// A parsed answer as the client saw it on the wire.
struct Reply {
    int status = 0;
    QString reason;
    QList<QPair<QString, QString>> headers; // in the order sent
    QByteArray body;

    QString header(const QString& name) const;
    QStringList headerNames() const;
    QString text() const { return QString::fromUtf8(body); }
};

// The headers, in order, of every page and JSON answer, and of a shared file's bytes: the isolation
// headers come last, after every other.
inline const QStringList kIsolationHeaders{"Referrer-Policy", "Cross-Origin-Opener-Policy"};
inline const QStringList kPageHeaders =
    QString("Connection Content-Length Content-Security-Policy Content-Type X-Content-Type-Options "
            "X-Frame-Options")
        .split(' ') +
    kIsolationHeaders;
inline const QStringList kFileHeaders = QString("Accept-Ranges Connection Content-Disposition Content-Length "
                                                "Content-Security-Policy Content-Type ETag "
                                                "Last-Modified X-Content-Type-Options X-Frame-Options")
                                            .split(' ') +
                                        kIsolationHeaders + QStringList{"Cross-Origin-Resource-Policy"};

std::optional<Reply> parseReply(const QByteArray& raw);

// Connects to 127.0.0.1:port; -1 on failure.
int connectTo(int port);
bool sendAll(int socket, const QByteArray& bytes);
// Reads until the server closes or the timeout passes.
QByteArray readUntilClosed(int socket, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A GET of target on a fresh connection, its answer left unread.
int ask(int port, const QByteArray& target, const QByteArray& extraHead = {});
// The answer on a socket, read until the server closes (the socket is closed then too).
Reply answerOf(int socket, std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Whether an answer's first byte arrives on the socket within the time; the byte stays unread.
bool hasAnswered(int socket, std::chrono::milliseconds wait = std::chrono::milliseconds(0));

// The JSON object of an answer's body.
QJsonObject jsonOf(const QByteArray& body);
QJsonObject jsonOf(const Reply& reply);
// One field of every item of a listing or search answer, in the order answered.
QStringList itemField(const QJsonObject& answer, const char* field);
inline QStringList namesOf(const QJsonObject& answer) {
    return itemField(answer, "name");
}
inline QStringList pathsOf(const QJsonObject& answer) {
    return itemField(answer, "relativePath");
}

// A file of the given size that takes no room on disk.
void makeSparseFile(const QString& path, qint64 size);
// Sets a file's (or a link's own) access and modification times to the given second.
void setModified(const QString& path, qint64 seconds);
// New bytes in a file under its old times, as copies that keep them write it.
void rewriteKeepingTimes(const QString& path, const QByteArray& bytes);
// Links hop0, hop1, ... in a folder, each to the one before and hop0 to target: more hops than the
// system follows make the last unreadable, even for root. The last link's name.
QString linkChain(const QString& folder, const QString& target, int hops);
// A process's resident memory, and the most it has had.
qint64 residentKiB(qint64 pid);
qint64 peakResidentKiB(qint64 pid);

// A JPEG of 156 bytes whose headers declare a picture of width by height pixels of the given number
// of components, coded progressively or in one pass, with a first scan of scanComponents of them: all
// the headers a decoder reads before it starts allocating, and no picture.
QByteArray declaredJPEG(int width, int height, int components, bool progressive, int scanComponents);

// Sends the bytes on a fresh connection, optionally ends the sending side, and reads the whole answer:
// as it was sent, or parsed.
QByteArray rawExchange(int port, const QByteArray& request, bool endSending = false);
Reply exchange(int port, const QByteArray& request, bool endSending = false);
Reply request(int port, const QString& method, const QString& target, const QByteArray& extraHead = {},
              const QByteArray& body = {});
Reply get(int port, const QString& target, const QByteArray& extraHead = {});

// A private folder for share contents and a server over the snapshot the test has built in it.
class ServedFolder : public ::testing::Test {
protected:
    // Starts a new server over the snapshot on a free port, replacing any earlier one.
    void serve(const QuarryShareWebServer::Options& options = {});
    int port() const { return server->listeningPort(); }

    QTemporaryDir folder;
    QuarryShareServerSnapshot snapshot;
    std::unique_ptr<QuarryShareWebServer> server;
};

// What lies in the temporary folder (TMPDIR) besides the given folder of the test's own.
QStringList temporaryLeftovers(const QTemporaryDir& besides);

// Whether an answer read until the server closed ended short: a chunked one without its last chunk,
// another with fewer bytes than its Content-Length.
bool endedShort(const QByteArray& raw);

// The body of a chunked answer, decoded; nothing when its framing is broken or its last chunk missing.
std::optional<QByteArray> dechunked(const QByteArray& body);

// Receives an answer's body (chunked, or of its Content-Length) straight into a file, runs of zeros left
// as holes, so that archives of any size can be checked without taking room.
struct SavedAnswer {
    int status = 0;
    bool complete = false; // the last chunk, or exactly the promised length, arrived
    qint64 bytes = 0;
    qint64 length = -1; // Content-Length, when given
    QString entityTag;
};
SavedAnswer saveAnswer(int port, const QString& target, const QString& path,
                       const QByteArray& extraHead = {});

// The entries of a ZIP file as the real unzip lists them, sorted; none unless `unzip -t` finds it whole.
QStringList zipFileEntries(const QString& path);
QStringList archiveEntries(const QByteArray& bytes);
// One line per entry as Python's zipfile reads it: name, "utf8" when flagged so, "stored" or
// "deflated", the size; none unless every entry's CRC checks out (when checkContent) and it opens.
QStringList pythonZipReport(const QString& path, bool checkContent = true);
// Which of unzip -t, Python's zipfile (every CRC checked), bsdtar -tf and 7z t (where installed) reject
// the ZIP file.
QStringList zipToolsRejecting(const QString& path);

} // namespace server_testing
