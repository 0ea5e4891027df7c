// The request parser and a real connection reading the same bytes from a socket, with its limits.
#include "fuzz_support.h"

#include "server/http/connection.h"
#include "server/http/http_request.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray kHeadEnd("\r\n\r\n");

constexpr qint64 kMostBodyBytes = 2048;

// Small limits, so that short inputs reach them; the connection treats any limit the same way. Every
// request's route reads a body here, except that of GET, whose body is left unread.
QuarryConnectionLimits fuzzLimits() {
    QuarryConnectionLimits limits;
    limits.maxHeadBytes = 1024;
    limits.bodyLimit = [](const HTTPRequest& head) {
        return head.method == QLatin1String("GET") ? 0 : kMostBodyBytes;
    };
    limits.requestTimeout = std::chrono::seconds(5);
    limits.lingerTimeout = std::chrono::seconds(1);
    return limits;
}

// Inputs past what the socket takes at once are only parsed in memory.
constexpr qsizetype kMostThroughSocket = 32 * 1024;

void checkParsed(const QByteArray& bytes) {
    const std::optional<HTTPRequest> request = HTTPRequest::parse(bytes);
    if (!request)
        return;
    const qsizetype headEnd = bytes.indexOf(kHeadEnd);
    FUZZ_CHECK(headEnd >= 0, bytes);
    const qint64 length = HTTPRequest::contentLength(request->headers);
    FUZZ_CHECK(length >= 0, bytes);
    // The body is exactly the announced bytes after the head: never more, never from elsewhere.
    FUZZ_CHECK(request->body.size() == length, bytes);
    FUZZ_CHECK(request->body == bytes.mid(headEnd + kHeadEnd.size(), request->body.size()), bytes);
    FUZZ_CHECK(!request->method.isEmpty() && !request->method.contains(QLatin1Char(' ')), bytes);
    FUZZ_CHECK(!request->target.isEmpty() && !request->target.contains(QLatin1Char(' ')), bytes);
    for (auto header = request->headers.cbegin(); header != request->headers.cend(); ++header) {
        FUZZ_CHECK(header.key() == header.key().toLower(), bytes);
        FUZZ_CHECK(!header.key().contains(QLatin1Char(':')), bytes);
        FUZZ_CHECK(!header.key().contains(QStringLiteral("\r\n")), bytes);
        FUZZ_CHECK(!header.value().contains(QStringLiteral("\r\n")), bytes);
        FUZZ_CHECK(QuarryHTTP::trimmedBlanks(header.value()) == header.value(), bytes);
    }
    const QString path = request->path();
    FUZZ_CHECK(path.startsWith(QLatin1Char('/')), bytes);
    FUZZ_CHECK(path.size() == 1 || !path.endsWith(QLatin1Char('/')), bytes);
    QuarryHTTP::queryParameters(*request);
    // The head alone reads the same as the whole request does.
    const std::optional<HTTPRequest> head = HTTPRequest::parseHead(bytes.left(headEnd));
    FUZZ_CHECK(head && head->method == request->method && head->target == request->target &&
                   head->headers == request->headers,
               bytes);
}

// Sends the bytes to a real connection over a socket pair, ends the sending side, and checks what the
// connection made of them: a request within the limits that the parser agrees with, and an answer.
void checkConnection(const QByteArray& bytes) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        QuarryFuzz::fail("socketpair", QByteArray(std::strerror(errno)));
    const QuarryConnectionLimits limits = fuzzLimits();
    std::optional<HTTPRequest> answered;
    int requests = 0;
    QPointer<QuarryHTTPConnection> connection = new QuarryHTTPConnection(
        pair[0],
        [&](const HTTPRequest& request, const QHostAddress&) {
            ++requests;
            answered = request;
            return HTTPResponse::json({{QStringLiteral("ok"), QStringLiteral("yes")}});
        },
        limits);

    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t wrote = ::send(pair[1], bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        sent += wrote;
    }
    ::shutdown(pair[1], SHUT_WR);

    QEventLoop loop;
    QObject::connect(connection.data(), &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer guard;
    guard.setSingleShot(true);
    bool stuck = false;
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] {
        stuck = true;
        loop.quit();
    });
    guard.start(std::chrono::seconds(4));
    if (connection)
        loop.exec();
    // A client that sent everything and closed its side is answered at once, never left waiting.
    FUZZ_CHECK(!stuck, bytes);

    QByteArray reply;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::recv(pair[1], chunk, sizeof(chunk), MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        reply.append(chunk, got);
    }
    ::close(pair[1]);

    FUZZ_CHECK(requests <= 1, bytes);
    FUZZ_CHECK(reply.startsWith("HTTP/1.1 "), bytes + "\n---\n" + reply);
    const qsizetype headEnd = bytes.indexOf(kHeadEnd);
    if (!answered) {
        // Refused: malformed, or a body past what its route reads.
        const std::optional<HTTPRequest> head =
            headEnd < 0 ? std::nullopt : HTTPRequest::parseHead(bytes.left(headEnd));
        const bool tooLarge = head && HTTPRequest::contentLength(head->headers) > kMostBodyBytes &&
                              head->method != QLatin1String("GET");
        FUZZ_CHECK(reply.startsWith("HTTP/1.1 400 ") || (tooLarge && reply.startsWith("HTTP/1.1 413 ")),
                   bytes + "\n---\n" + reply);
        return;
    }
    // What the connection handed on stays within its limits and is what the parser reads; a GET's body
    // is never read. Its head's lines all end in CR LF.
    FUZZ_CHECK(headEnd >= 0 && headEnd <= limits.maxHeadBytes, bytes);
    FUZZ_CHECK(answered->body.size() <= kMostBodyBytes, bytes);
    const bool get = answered->method == QLatin1String("GET");
    std::optional<HTTPRequest> parsed =
        get ? HTTPRequest::parseHead(bytes.left(headEnd))
            : HTTPRequest::parse(bytes.left(headEnd + kHeadEnd.size() + answered->body.size()));
    FUZZ_CHECK(parsed && *parsed == *answered, bytes);
    for (qsizetype i = bytes.indexOf('\n'); i >= 0 && i < headEnd; i = bytes.indexOf('\n', i + 1))
        FUZZ_CHECK(i > 0 && bytes.at(i - 1) == '\r', bytes);
    FUZZ_CHECK(reply.startsWith("HTTP/1.1 200 "), bytes + "\n---\n" + reply);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuarryFuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkParsed(bytes);
    if (bytes.size() <= kMostThroughSocket)
        checkConnection(bytes);
    return 0;
}
