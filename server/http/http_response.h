#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// One Set-Cookie line.
struct HTTPCookieHeader {
    QString name;
    QString value;
    QStringList attributes;

    // name=value followed by each attribute, items separated by "; ".
    QString stringValue() const;
    bool operator==(const HTTPCookieHeader&) const = default;
};

// A body that the connection sends straight from an open file, so memory never grows with its size.
// The descriptor is closed when the last response holding it is gone.
class QuarryHTTPFileBody {
public:
    // Takes ownership of an open descriptor; the body is length bytes from offset on.
    QuarryHTTPFileBody(int descriptor, qint64 length, qint64 offset = 0);
    ~QuarryHTTPFileBody();
    QuarryHTTPFileBody(const QuarryHTTPFileBody&) = delete;
    QuarryHTTPFileBody& operator=(const QuarryHTTPFileBody&) = delete;

    int descriptor() const { return m_descriptor; }
    qint64 length() const { return m_length; }
    qint64 offset() const { return m_offset; }
    // The whole content, for callers that want it in memory (small bodies, tests).
    QByteArray readAll() const;

private:
    int m_descriptor;
    qint64 m_length;
    qint64 m_offset;
};

// A body made while it is sent (a folder archive), whose length may or may not be known in advance. The
// connection takes what is ready and is woken when there is more; whoever makes it stops when its owner
// drops it.
class QuarryHTTPBodySource {
public:
    enum class Status { data, file, waiting, finished, failed };
    virtual ~QuarryHTTPBodySource() = default;
    // data: out holds the next bytes (at most maxBytes); file: the next bytes are a span of a file, which
    // takeFile hands over (the connection sends it whole before it takes again); waiting: nothing is
    // ready yet, and the waker will be called when something is; finished: the body is complete;
    // failed: it never will be.
    virtual Status take(QByteArray& out, qsizetype maxBytes) = 0;
    virtual std::shared_ptr<QuarryHTTPFileBody> takeFile() { return nullptr; }
    // wake is called from any thread whenever take would answer something new. Once setWaker returns,
    // the previous function is neither running nor ever called again; an empty one stops the calls.
    virtual void setWaker(std::function<void()> wake) = 0;
};

struct HTTPResponse;

// The Content-Security-Policy of a response that carries a shared file's bytes. Shared folders are
// filled by other people's devices, so no policy lets a file run script on this origin, where the
// unlock cookies live; each one still lets the browser show what it is meant to show.
namespace QuarryHTTP::SharedFilePolicy {
// Attachments, images, text, thumbnails: no script, and a sandbox with an opaque origin besides.
inline const QString sandboxed = QStringLiteral("default-src 'none'; style-src 'unsafe-inline'; sandbox");
// Audio and video opened on their own: Chromium's player fetches the file again from the document,
// which a sandbox's opaque origin would be refused, so the player document keeps the origin and only
// loses script.
inline const QString media =
    QStringLiteral("default-src 'none'; media-src 'self'; style-src 'unsafe-inline'");
// PDF opened on its own: the viewer's document keeps the origin and loses script.
inline const QString document = QStringLiteral("default-src 'none'; style-src 'unsafe-inline'");
} // namespace QuarryHTTP::SharedFilePolicy

// A response that is only known after asynchronous work (a folder archive). The connection starts it
// once and keeps it alive until the final response has been sent; destroying it cancels the work.
class QuarryHTTPDeferredResponse {
public:
    virtual ~QuarryHTTPDeferredResponse() = default;
    // Calls done exactly once, later, on the calling thread's event loop.
    virtual void start(std::function<void(HTTPResponse)> done) = 0;
    // Whether the connection ends, dropping this work, when the visitor closes its side before the
    // answer is ready. Work whose answer is wanted after a half-close (a client that ends its sending
    // direction and waits) says no.
    virtual bool endsWhenVisitorLeaves() const { return false; }
    // Work that waits for its turn (a thread of a pool, an archive writer) holds no place while it
    // waits: until `taken` is called the connection counts as waiting, not as being answered, so it may
    // be closed to make room, and it is answered busy once it has waited too long. Set before start;
    // `taken` is called at most once, on the thread that started the work, and an answer implies it.
    // Work that never waits has its turn at once.
    virtual void setTurnTaken(std::function<void()> taken) { taken(); }
};

// How an answer went out, as its connection tells whoever asked to know: while the body is sent (a few
// times a second at most) and once when the connection is done with it (`ended`).
struct QuarryHTTPDelivery {
    int status = 0;
    // Body bytes the head announced; -1 when it announced no length (a streamed body).
    qint64 bytesPromised = -1;
    // Body bytes written to the socket (no head, no chunk framing).
    qint64 bytesSent = 0;
    // Where the body lies in the whole item (a range's first byte; 0 otherwise), the whole item's length
    // (-1: unknown) and its entity tag: what tells pieces of one download sent as several answers.
    qint64 firstByte = 0;
    qint64 wholeLength = -1;
    QString entityTag;
    std::chrono::milliseconds duration{0};
    bool ended = false;
    // Ended with the whole answer sent.
    bool complete = false;
};

struct HTTPResponse {
    int statusCode = 200;
    QString reasonPhrase = QStringLiteral("OK");
    QMap<QString, QString> headers;
    QList<HTTPCookieHeader> cookieHeaders;
    QByteArray body;
    // When set, the body is this file's content instead of `body`.
    std::shared_ptr<QuarryHTTPFileBody> fileBody;
    // When set, this response only stands for the one that the deferred work will produce.
    std::shared_ptr<QuarryHTTPDeferredResponse> deferred;
    // When set, the body is made while it is sent and goes out with chunked transfer coding.
    std::shared_ptr<QuarryHTTPBodySource> stream;
    // Transfer-Encoding: chunked instead of Content-Length (a stream, or a HEAD answer standing for one).
    bool chunked = false;
    // The length of a stream that is not chunked (or of the body a HEAD answer stands for): the
    // connection is cut rather than sending more or less than this.
    qint64 streamLength = -1;
    // With deferred work: the answer when the work gets no turn in time; none: the busy page.
    std::shared_ptr<const HTTPResponse> whenBusy;
    // The body is a shared file's bytes (or made from them): no other site may embed it.
    bool carriesSharedFile = false;
    // Told how the answer goes out (see QuarryHTTPDelivery); kept from a deferred response for the one
    // it stands for. Called on the connection's thread.
    std::function<void(const QuarryHTTPDelivery&)> delivered;

    qint64 bodyLength() const {
        return fileBody ? fileBody->length() : streamLength >= 0 ? streamLength : body.size();
    }
    // The body bytes, read from the file when the body streams from one.
    QByteArray bodyBytes() const { return fileBody ? fileBody->readAll() : body; }

    // Status line, headers (Content-Length set, or Transfer-Encoding for a chunked body, none for 304;
    // Connection: close unless given; sorted by name), Set-Cookie lines, the origin's isolation headers
    // (Referrer-Policy, Cross-Origin-Opener-Policy, and Cross-Origin-Resource-Policy for a shared file's
    // bytes) and the blank line.
    QByteArray serializedHead() const;
    // The head followed by the in-memory body.
    QByteArray serialized() const { return serializedHead() + body; }

    static QString reasonPhraseFor(int statusCode);
    static const QMap<QString, QString>& securityHeaders();

    static HTTPResponse html(const QString& text, int status = 200);
    static HTTPResponse notFound(const QString& html);
    static HTTPResponse badRequest(const QString& message);
    // 413: the body announced is more than the request's route reads.
    static HTTPResponse contentTooLarge();
    static HTTPResponse internalServerError(const QString& message);
    static HTTPResponse json(const QMap<QString, QString>& pairs, int status = 200);
    static HTTPResponse jsonData(const QByteArray& bytes, int status = 200);
    static HTTPResponse binary(const QByteArray& bytes, const QString& contentType,
                               const std::optional<QString>& disposition = std::nullopt);
    // A shared file's bytes streamed from an open file: as binary, with the file's own policy.
    static HTTPResponse file(std::shared_ptr<QuarryHTTPFileBody> body, const QString& contentType,
                             const std::optional<QString>& disposition = std::nullopt,
                             const QString& policy = QuarryHTTP::SharedFilePolicy::sandboxed);
    // Bytes made from a shared file (a thumbnail), held in memory, with the file's own policy.
    static HTTPResponse fileBytes(const QByteArray& bytes, const QString& contentType,
                                  const std::optional<QString>& disposition = std::nullopt,
                                  const QString& policy = QuarryHTTP::SharedFilePolicy::sandboxed);
    // A body made from shared files while it is sent (a folder archive), with the files' policy.
    static HTTPResponse streamed(std::shared_ptr<QuarryHTTPBodySource> body, const QString& contentType,
                                 const std::optional<QString>& disposition = std::nullopt);
    static HTTPResponse redirect(const QString& location, const QList<HTTPCookieHeader>& cookies = {});
    static HTTPResponse later(std::shared_ptr<QuarryHTTPDeferredResponse> work);
    // 503 with Retry-After: the server has no turn for the request now. As a page, or as the JSON API's
    // error object.
    static HTTPResponse busy();
    static HTTPResponse busyJSON();
};
