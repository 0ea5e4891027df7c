#pragma once

#include "server/http/client_address.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <chrono>
#include <functional>
#include <memory>

// Bounds on what one connection may cost.
struct QuarryConnectionLimits {
    // How many body bytes the route of a request (its head) reads, at most; 0 for the routes that read
    // none, whose bodies are left unread. A body announced past its route's limit is answered 413.
    using BodyLimit = std::function<qint64(const HTTPRequest& head)>;

    qsizetype maxHeadBytes = 64 * 1024;
    BodyLimit bodyLimit = [](const HTTPRequest&) { return qint64(0); };
    // A body larger than a form of a few fields draws on one budget for the whole process (what every
    // connection's buffers hold): a route that takes a long list (the picks form) must not let thousands
    // of half-sent bodies hold gigabytes. Past it the request is answered busy.
    qint64 largeBodiesBudget = 64LL * 1024 * 1024;
    // Without a complete request by then, the connection is closed without an answer.
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(30);
    // After the answer, how long the client may take to close its side before the socket is closed.
    std::chrono::milliseconds lingerTimeout = std::chrono::seconds(2);
    // While answering, how long the client may take no bytes before the connection (and its file) is
    // closed.
    std::chrono::milliseconds sendTimeout = std::chrono::seconds(60);
    // How long a request may wait for its work's turn (a thread of a pool, an archive writer) before it
    // is answered busy.
    std::chrono::milliseconds queueTimeout = std::chrono::seconds(30);
    // A body made while it is sent (a folder archive) holds a writer: a client that takes less than
    // this rate over the last window, while the writer had more for it all along, is let go so that the
    // writer serves someone who reads. 0: no floor.
    qint64 streamFloorBytesPerSecond = 16 * 1024;
    std::chrono::milliseconds streamFloorWindow = std::chrono::seconds(30);
};

// One accepted connection: reads one request, answers it, closes. Works on the raw non-blocking socket
// so that bodies can stream from files with sendfile and the write side can be ended on its own.
// It deletes itself when done. Threads: server thread only.
class QuarryHTTPConnection : public QObject {
    Q_OBJECT
public:
    using Responder = std::function<HTTPResponse(const HTTPRequest&, const QHostAddress& peer)>;

    // Takes ownership of the connected socket descriptor.
    QuarryHTTPConnection(int descriptor, Responder responder, QuarryConnectionLimits limits,
                         QObject* parent = nullptr);
    // For a socket accepted non-blocking and close-on-exec, whose peer is known already.
    QuarryHTTPConnection(int descriptor, const QHostAddress& peer, Responder responder,
                         QuarryConnectionLimits limits, QObject* parent = nullptr);
    ~QuarryHTTPConnection() override;

    // Closes the connection at once; it deletes itself later. A request waiting for its turn is told
    // the server is busy, when the socket takes the few bytes at once.
    void abandon();
    // A request waiting for its turn gets none: its work is dropped and it is answered busy.
    void answerBusy();
    // Who sent the request; known once the request is whole.
    const QuarryHTTP::Client& client() const { return m_client; }
    // Reads what the client has sent so far without waiting for the next turn: a request often arrives
    // with the connection itself. Call it once whoever watches requestArrived is listening.
    void readWaiting() { readable(); }

    // The bytes that every connection of the process holds in its request and answer buffers: they
    // grow with what clients send and take, and are given back as connections end.
    static qint64 bufferedBytes();

Q_SIGNALS:
    // The request is whole (or refused): from here on the connection is answering, not reading.
    void requestArrived();
    // The answer's work waits for its turn: the connection waits too, though its request is whole.
    void queued();
    // The work has its turn (or was dropped): the connection is answering, not waiting.
    void leftQueue();
    // The socket is closed: the connection holds nothing any more, though it is deleted only later.
    void closed();

private:
    enum class Phase { reading, answering, sending, lingering, closed };

    void readable();
    // Finds the end of the head among the bytes read since the last call; false when they show that
    // the head is malformed (a bare LF, a line that is not UTF-8), which no later byte can mend.
    bool scanHead();
    void evaluateRequest();
    void respond(HTTPResponse response);
    void turnTaken();
    void checkStreamFloor();
    void beginSending(HTTPResponse response);
    void writeMore();
    // Takes the next piece of a streamed body (framed as one chunk when chunked); false when the
    // connection was closed.
    bool takeFromStream();
    void stopStream();
    void finishSending();
    void closeNow();
    // Tells the answer's watcher how it went: progress at most a few times a second, then its end once.
    void reportDelivery(bool ended, bool complete = false);
    // Where the answer's body lies in the whole item, for the delivery's watcher.
    void noteWhole(const HTTPResponse& response);
    // Brings the process's count of buffered bytes up to date with this connection's buffers.
    void account();

    int m_descriptor;
    Responder m_responder;
    QuarryConnectionLimits m_limits;
    QHostAddress m_peer;
    Phase m_phase = Phase::reading;
    bool m_peerFinished = false;
    // HEAD: the answer's head goes out without its body.
    bool m_headOnly = false;
    // The request was read whole, body and all, before it was answered.
    bool m_requestWhole = false;
    // The body the head announces, and how much of it its route reads (0: none).
    qint64 m_bodyLength = 0;
    qint64 m_bodyLimit = 0;

    QByteArray m_buffer;
    std::optional<HTTPRequest> m_head;
    qsizetype m_headEnd = -1;
    // How far the head has been scanned, and up to where its complete lines were found to be UTF-8.
    qsizetype m_scanned = 0;
    qsizetype m_validated = 0;
    // What this connection's buffers add to bufferedBytes().
    qint64 m_accounted = 0;

    QuarryHTTP::Client m_client;
    std::shared_ptr<QuarryHTTPDeferredResponse> m_deferred;
    std::shared_ptr<const HTTPResponse> m_whenBusy;
    // The deferred work waits for its turn.
    bool m_queued = false;
    // The head, or a chunk of a streamed body.
    QByteArray m_out;
    qsizetype m_outOffset = 0;
    // An in-memory body, sent from the response's own bytes: one listing shared by many connections is
    // never copied for each.
    QByteArray m_body;
    qsizetype m_bodyOffset = 0;
    std::shared_ptr<QuarryHTTPFileBody> m_file;
    qint64 m_fileOffset = 0;
    std::shared_ptr<QuarryHTTPBodySource> m_stream;
    bool m_streamEnded = false;
    // Bytes of a stream's known length still to send; -1 for a chunked stream.
    qint64 m_streamRemaining = -1;
    bool m_useSendfile = true;

    QSocketNotifier* m_readNotifier;
    QSocketNotifier* m_writeNotifier;
    QTimer m_timer;
    // When the client last took bytes of the answer.
    std::chrono::steady_clock::time_point m_lastProgress;

    // Who watches the answer go out, and what it has been told so far.
    std::function<void(const QuarryHTTPDelivery&)> m_delivered;
    QuarryHTTPDelivery m_delivery;
    qint64 m_headBytes = 0; // head bytes still to be counted out of what is written
    qint64 m_framing = 0;   // chunk framing bytes still to be counted out of what is written
    std::chrono::steady_clock::time_point m_answerStarted;
    std::chrono::steady_clock::time_point m_lastDeliveryReport;
    // Tells progress held back by the interval once it has passed: a client that stopped reading would
    // otherwise leave its last burst untold.
    QTimer m_reportTimer;

    // A streamed body's rate, over the last window, in slices: bytes taken in each, and whether its maker
    // had nothing ready during it (then a slow client was not what held the maker up).
    QTimer m_floorTimer;
    static constexpr int kFloorSlices = 10;
    std::array<qint64, kFloorSlices> m_sliceBytes{};
    std::array<bool, kFloorSlices> m_sliceStarved{};
    int m_slice = 0;
    int m_slicesSeen = 0;
};
