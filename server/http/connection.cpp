#include "server/http/connection.h"

#include "core/diagnostics.h"

#include <QScopeGuard>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <utility>

namespace {

const QByteArray kHeadEnd("\r\n\r\n");
constexpr qsizetype kReadChunk = 64 * 1024;
// Most bytes read, and most bytes written, in one turn of the event loop, so that one fast transfer
// never keeps the other connections waiting.
constexpr qint64 kReadPerTurn = 1024 * 1024;
constexpr qint64 kWritePerTurn = 4 * 1024 * 1024;
constexpr qint64 kCopyChunk = 256 * 1024;
// Bodies up to this size (the unlock form's) are read without asking the large bodies' budget.
constexpr qint64 kSmallBodyBytes = 64 * 1024;
// How often a running answer's watcher hears of its progress, at most.
constexpr auto kDeliveryReportInterval = std::chrono::milliseconds(250);

// What every connection's buffers hold; read by tests and diagnostics on any thread.
std::atomic<qint64> g_bufferedBytes{0};

// A SIGPIPE raised by a failed write stays pending on the server thread, where it is blocked; take it so
// that nothing is left for whoever might unblock it later.
void discardPendingBrokenPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec noWait{0, 0};
    while (::sigtimedwait(&pipe, nullptr, &noWait) == SIGPIPE) {
    }
}

QHostAddress peerAddress(int descriptor) {
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr*>(&storage));
}

} // namespace

QuarryHTTPConnection::QuarryHTTPConnection(int descriptor, Responder responder, QuarryConnectionLimits limits,
                                           QObject* parent)
    : QuarryHTTPConnection(descriptor, peerAddress(descriptor), std::move(responder), limits, parent) {
    ::fcntl(m_descriptor, F_SETFL, ::fcntl(m_descriptor, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_descriptor, F_SETFD, ::fcntl(m_descriptor, F_GETFD) | FD_CLOEXEC);
}

QuarryHTTPConnection::QuarryHTTPConnection(int descriptor, const QHostAddress& peer, Responder responder,
                                           QuarryConnectionLimits limits, QObject* parent)
    : QObject(parent)
    , m_descriptor(descriptor)
    , m_responder(std::move(responder))
    , m_limits(limits)
    , m_peer(peer)
    , m_readNotifier(new QSocketNotifier(descriptor, QSocketNotifier::Read, this))
    , m_writeNotifier(new QSocketNotifier(descriptor, QSocketNotifier::Write, this)) {
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &QuarryHTTPConnection::readable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &QuarryHTTPConnection::writeMore);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::answering) {
            // Only work waiting for its turn is timed: once it runs, its answer is on its way.
            answerBusy();
            return;
        }
        if (m_phase == Phase::sending) {
            // Waiting for the body's maker is not the client's doing; only a client that takes nothing
            // for the whole limit is let go.
            const auto now = std::chrono::steady_clock::now();
            if (!m_writeNotifier->isEnabled())
                m_lastProgress = now;
            const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_lastProgress);
            if (idle < m_limits.sendTimeout) {
                m_timer.start(m_limits.sendTimeout - idle);
                return;
            }
        }
        // No complete request in time, a client that stopped taking the answer, or one that does not
        // close after it.
        closeNow();
    });
    m_timer.start(m_limits.requestTimeout);
    connect(&m_floorTimer, &QTimer::timeout, this, &QuarryHTTPConnection::checkStreamFloor);
    m_reportTimer.setSingleShot(true);
    connect(&m_reportTimer, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::sending)
            reportDelivery(false);
    });
}

QuarryHTTPConnection::~QuarryHTTPConnection() {
    g_bufferedBytes -= m_accounted;
    stopStream();
    if (m_descriptor >= 0) {
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
        ::close(m_descriptor);
    }
}

void QuarryHTTPConnection::readable() {
    char chunk[kReadChunk];
    qint64 readThisTurn = 0;
    while (readThisTurn < kReadPerTurn) {
        const ssize_t got = ::recv(m_descriptor, chunk, sizeof(chunk), 0);
        if (got > 0) {
            readThisTurn += got;
            // Once the request is in, later bytes are read only to notice the peer closing, then dropped.
            if (m_phase == Phase::reading) {
                m_buffer.append(chunk, got);
                // Judged chunk by chunk, so that a head or body past its limit is refused before more of
                // it is held.
                evaluateRequest();
                if (m_phase == Phase::closed)
                    return;
            }
            continue;
        }
        if (got == 0) {
            m_peerFinished = true;
            m_readNotifier->setEnabled(false);
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        if (m_phase != Phase::reading) {
            closeNow();
            return;
        }
        logDiagnostic(QStringLiteral("Connection receive error: ") +
                      QString::fromLocal8Bit(std::strerror(errno)));
        m_readNotifier->setEnabled(false);
        respond(HTTPResponse::internalServerError(
            QStringLiteral("An error occurred while processing the request.")));
        return;
    }
    if (m_phase == Phase::reading) {
        if (m_peerFinished)
            evaluateRequest();
    } else if (m_phase == Phase::lingering && m_peerFinished) {
        closeNow();
    } else if (m_phase == Phase::answering && m_peerFinished && m_deferred &&
               m_deferred->endsWhenVisitorLeaves()) {
        closeNow();
    }
    account();
}

bool QuarryHTTPConnection::scanHead() {
    const qsizetype end = qMin(m_buffer.size(), m_limits.maxHeadBytes + kHeadEnd.size());
    const char* bytes = m_buffer.constData();
    while (m_scanned < end) {
        const auto* found = static_cast<const char*>(
            std::memchr(bytes + m_scanned, '\n', static_cast<size_t>(end - m_scanned)));
        if (!found) {
            m_scanned = end;
            return true;
        }
        const qsizetype lineFeed = found - bytes;
        m_scanned = lineFeed + 1;
        // Lines end with CR LF only: a reader ahead of us that took a bare LF for the end of a line would
        // see other headers than we do. A whole line that is not UTF-8 never will be.
        if (lineFeed == 0 || bytes[lineFeed - 1] != '\r' ||
            !QByteArrayView(bytes + m_validated, m_scanned - m_validated).isValidUtf8())
            return false;
        m_validated = m_scanned;
        if (lineFeed >= 3 && bytes[lineFeed - 2] == '\n' && bytes[lineFeed - 3] == '\r') {
            m_headEnd = lineFeed - 3;
            return true;
        }
    }
    return true;
}

void QuarryHTTPConnection::evaluateRequest() {
    // Made only when it is the answer: most requests are sound.
    const auto malformed = [] {
        return HTTPResponse::badRequest(QStringLiteral("Could not parse request."));
    };
    if (m_headEnd < 0) {
        if (!scanHead()) {
            respond(malformed());
            return;
        }
        if (m_headEnd < 0) {
            if (m_buffer.size() > m_limits.maxHeadBytes + kHeadEnd.size() || m_peerFinished)
                respond(malformed());
            return;
        }
        if (m_headEnd > m_limits.maxHeadBytes) {
            respond(malformed());
            return;
        }
        const QByteArray head = m_buffer.left(m_headEnd);
        m_head = HTTPRequest::parseHead(head);
        // No byte sent later can mend a whole head: it is refused now, not when the client gives up.
        if (!m_head || !HTTPRequest::hasSoundFraming(head)) {
            respond(malformed());
            return;
        }
        m_bodyLength = HTTPRequest::contentLength(m_head->headers);
        m_bodyLimit = m_bodyLength > 0 ? m_limits.bodyLimit(*m_head) : 0;
        if (m_bodyLimit > 0 && m_bodyLength > m_bodyLimit) {
            respond(HTTPResponse::contentTooLarge());
            return;
        }
        if (m_bodyLimit > 0 && m_bodyLength > kSmallBodyBytes &&
            bufferedBytes() + m_bodyLength > m_limits.largeBodiesBudget) {
            respond(HTTPResponse::busy());
            return;
        }
        if (m_bodyLimit > 0)
            m_buffer.reserve(m_headEnd + kHeadEnd.size() + m_bodyLength);
    }

    const qsizetype bodyStart = m_headEnd + kHeadEnd.size();
    // A route that reads no body is answered at once; whatever body the client sends is left unread.
    if (m_bodyLimit > 0 && m_buffer.size() - bodyStart < m_bodyLength) {
        if (m_peerFinished)
            respond(malformed());
        return;
    }
    HTTPRequest request = *m_head;
    if (m_bodyLimit > 0)
        request.body = m_buffer.mid(bodyStart, static_cast<qsizetype>(m_bodyLength));
    m_requestWhole = m_bodyLimit > 0 || m_bodyLength == 0;
    m_headOnly = request.method == QLatin1String("HEAD");
    m_client = QuarryHTTP::clientOf(request, m_peer);
    respond(m_responder(request, m_peer));
}

void QuarryHTTPConnection::respond(HTTPResponse response) {
    m_phase = Phase::answering;
    m_timer.stop();
    // What was read of the request is not needed any more.
    m_buffer = QByteArray();
    m_head.reset();
    account();
    m_delivered = std::move(response.delivered);
    m_answerStarted = std::chrono::steady_clock::now();
    Q_EMIT requestArrived();
    if (!response.deferred) {
        beginSending(std::move(response));
        return;
    }
    // The request and the client's close may have been read together: a visitor already gone is not
    // worth starting any work for.
    if (m_peerFinished && response.deferred->endsWhenVisitorLeaves()) {
        closeNow();
        return;
    }
    m_deferred = response.deferred;
    m_whenBusy = response.whenBusy;
    m_queued = true;
    m_deferred->setTurnTaken([this] { turnTaken(); });
    m_deferred->start([this](HTTPResponse final) {
        turnTaken();
        beginSending(std::move(final));
    });
    if (m_queued && m_phase == Phase::answering) {
        m_timer.start(m_limits.queueTimeout);
        Q_EMIT queued();
    }
}

void QuarryHTTPConnection::turnTaken() {
    if (!m_queued)
        return;
    m_queued = false;
    if (m_phase == Phase::answering)
        m_timer.stop();
    Q_EMIT leftQueue();
}

void QuarryHTTPConnection::answerBusy() {
    if (m_phase != Phase::answering || !m_queued)
        return;
    HTTPResponse busy = m_whenBusy ? *m_whenBusy : HTTPResponse::busy();
    // Dropping the work takes it out of its line.
    m_deferred.reset();
    turnTaken();
    beginSending(std::move(busy));
}

void QuarryHTTPConnection::abandon() {
    if (m_phase == Phase::answering && m_queued) {
        const HTTPResponse busy = m_whenBusy ? *m_whenBusy : HTTPResponse::busy();
        m_delivery.status = busy.statusCode;
        const QByteArray bytes = busy.serializedHead() + (m_headOnly ? QByteArray() : busy.body);
        // Its slot is wanted now: what the socket does not take at once is not waited for.
        [[maybe_unused]] const ssize_t sent = ::send(
            m_descriptor, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    closeNow();
}

void QuarryHTTPConnection::beginSending(HTTPResponse response) {
    if (m_phase != Phase::answering)
        return;
    m_phase = Phase::sending;
    m_out = response.serializedHead();
    if (response.delivered && !m_delivered)
        m_delivered = std::move(response.delivered);
    m_delivery.status = response.statusCode;
    m_delivery.bytesPromised = m_headOnly ? 0 : response.chunked ? -1 : response.bodyLength();
    if (m_delivered)
        noteWhole(response);
    m_headBytes = m_out.size();
    if (m_headOnly) {
        // HEAD: the head alone; a file stays closed and an archive is never made.
    } else if (response.fileBody) {
        m_file = response.fileBody;
    } else if (response.stream) {
        m_stream = response.stream;
        m_streamRemaining = response.chunked ? -1 : response.streamLength;
        // Called from the thread that makes the body: more is ready, so write on this thread.
        m_stream->setWaker([this] {
            QMetaObject::invokeMethod(this, &QuarryHTTPConnection::writeMore, Qt::QueuedConnection);
        });
        if (m_limits.streamFloorBytesPerSecond > 0 && m_limits.streamFloorWindow.count() > 0)
            m_floorTimer.start(qMax<qint64>(1, m_limits.streamFloorWindow.count() / kFloorSlices));
    } else {
        m_body = response.body;
    }
    m_outOffset = 0;
    m_bodyOffset = 0;
    m_fileOffset = 0;
    m_lastProgress = std::chrono::steady_clock::now();
    m_timer.start(m_limits.sendTimeout);
    writeMore();
}

void QuarryHTTPConnection::writeMore() {
    if (m_phase != Phase::sending)
        return;
    qint64 writtenThisTurn = 0;
    // Body bytes only: the head and the chunk framing are taken off first.
    const auto countSent = [this](qint64 sent) {
        const qint64 overhead = std::min(sent, m_headBytes + m_framing);
        const qint64 fromHead = std::min(overhead, m_headBytes);
        m_headBytes -= fromHead;
        m_framing -= overhead - fromHead;
        m_delivery.bytesSent += sent - overhead;
    };
    const auto noteProgress = qScopeGuard([&] {
        if (writtenThisTurn > 0) {
            m_lastProgress = std::chrono::steady_clock::now();
            if (m_phase == Phase::sending)
                reportDelivery(false);
        }
        if (m_stream)
            m_sliceBytes[static_cast<size_t>(m_slice)] += writtenThisTurn;
        account();
    });
    while (writtenThisTurn < kWritePerTurn) {
        if (m_outOffset < m_out.size() || m_bodyOffset < m_body.size()) {
            // With a file to follow, the head waits for its first bytes and leaves in the same packet.
            const bool fileFollows = m_file && m_useSendfile && m_fileOffset < m_file->length();
            iovec pieces[2];
            int count = 0;
            if (m_outOffset < m_out.size())
                pieces[count++] = {m_out.data() + m_outOffset,
                                   static_cast<size_t>(m_out.size() - m_outOffset)};
            if (m_bodyOffset < m_body.size()) {
                pieces[count++] = {
                    const_cast<char*>(m_body.constData()) + m_bodyOffset,
                    static_cast<size_t>(qMin<qint64>(m_body.size() - m_bodyOffset, kWritePerTurn))};
            }
            msghdr message{};
            message.msg_iov = pieces;
            message.msg_iovlen = static_cast<size_t>(count);
            const ssize_t sent =
                ::sendmsg(m_descriptor, &message, MSG_NOSIGNAL | (fileFollows ? MSG_MORE : 0));
            if (sent < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    m_writeNotifier->setEnabled(true);
                    return;
                }
                closeNow();
                return;
            }
            const qsizetype ofHead = qMin<qsizetype>(sent, m_out.size() - m_outOffset);
            m_outOffset += ofHead;
            m_bodyOffset += sent - ofHead;
            writtenThisTurn += sent;
            countSent(sent);
            if (m_bodyOffset >= m_body.size() && !m_body.isNull()) {
                // Let go of the bytes as soon as they are sent: others may still hold them.
                m_body = QByteArray();
                m_bodyOffset = 0;
            }
            continue;
        }
        if (m_file && m_fileOffset < m_file->length()) {
            const qint64 remaining = m_file->length() - m_fileOffset;
            if (m_useSendfile) {
                off_t offset = static_cast<off_t>(m_file->offset() + m_fileOffset);
                const ssize_t sent = ::sendfile(m_descriptor, m_file->descriptor(), &offset,
                                                static_cast<size_t>(qMin(remaining, kWritePerTurn)));
                if (sent > 0) {
                    m_fileOffset += sent;
                    writtenThisTurn += sent;
                    countSent(sent);
                    continue;
                }
                if (sent < 0 && errno == EINTR)
                    continue;
                if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    m_writeNotifier->setEnabled(true);
                    return;
                }
                if (sent < 0 && (errno == EINVAL || errno == ENOSYS)) {
                    // Not every file system can splice into a socket: copy through a small buffer instead.
                    m_useSendfile = false;
                    continue;
                }
                // The file ended early (it shrank) or the peer is gone: the answer cannot be completed.
                if (sent < 0 && errno == EPIPE)
                    discardPendingBrokenPipe();
                closeNow();
                return;
            }
            m_out.resize(static_cast<qsizetype>(qMin(remaining, kCopyChunk)));
            const ssize_t got = ::pread(m_file->descriptor(), m_out.data(), static_cast<size_t>(m_out.size()),
                                        static_cast<off_t>(m_file->offset() + m_fileOffset));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                closeNow();
                return;
            }
            m_out.truncate(got);
            m_outOffset = 0;
            m_fileOffset += got;
            continue;
        }
        if (m_stream && !m_streamEnded) {
            if (!takeFromStream())
                return;
            if (m_outOffset < m_out.size() || (m_file && m_fileOffset < m_file->length()))
                continue;
            if (m_streamEnded)
                break;
            // Nothing is ready: the waker brings this back once the maker has more.
            m_writeNotifier->setEnabled(false);
            return;
        }
        break;
    }
    if (m_outOffset < m_out.size() || m_bodyOffset < m_body.size() ||
        (m_file && m_fileOffset < m_file->length()) || (m_stream && !m_streamEnded)) {
        // More to send, but other connections get their turn first.
        m_writeNotifier->setEnabled(true);
        return;
    }
    finishSending();
}

bool QuarryHTTPConnection::takeFromStream() {
    QByteArray piece;
    const QuarryHTTPBodySource::Status status = m_stream->take(piece, kCopyChunk);
    // A file span sent whole is let go before the next piece.
    m_file.reset();
    m_out.clear();
    m_outOffset = 0;
    m_fileOffset = 0;
    switch (status) {
    case QuarryHTTPBodySource::Status::data:
        if (m_streamRemaining < 0) {
            m_out = QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
            m_framing += m_out.size() - piece.size();
        } else if (piece.size() <= m_streamRemaining) {
            m_streamRemaining -= piece.size();
            m_out = std::move(piece);
        } else {
            closeNow();
            return false;
        }
        break;
    case QuarryHTTPBodySource::Status::file:
        // Spans are sent straight from their file, so only a body of a known length may hold them.
        m_file = m_stream->takeFile();
        if (!m_file || m_streamRemaining < m_file->length()) {
            closeNow();
            return false;
        }
        m_streamRemaining -= m_file->length();
        break;
    case QuarryHTTPBodySource::Status::waiting:
        m_sliceStarved[static_cast<size_t>(m_slice)] = true;
        break;
    case QuarryHTTPBodySource::Status::finished:
        // Fewer bytes than the head promised are never passed off as the whole body.
        if (m_streamRemaining > 0) {
            closeNow();
            return false;
        }
        if (m_streamRemaining < 0) {
            m_out = QByteArrayLiteral("0\r\n\r\n");
            m_framing += m_out.size();
        }
        m_streamEnded = true;
        break;
    case QuarryHTTPBodySource::Status::failed:
        // Without the last chunk, or short of its length, the client can tell the body was cut short.
        closeNow();
        return false;
    }
    return true;
}

void QuarryHTTPConnection::checkStreamFloor() {
    if (m_phase != Phase::sending || !m_stream || m_streamEnded) {
        m_floorTimer.stop();
        return;
    }
    m_slice = (m_slice + 1) % kFloorSlices;
    if (++m_slicesSeen >= kFloorSlices) {
        // A whole window seen: the bytes of its slices, unless the maker kept the client waiting.
        qint64 taken = 0;
        bool starved = false;
        for (int i = 0; i < kFloorSlices; ++i) {
            taken += m_sliceBytes[static_cast<size_t>(i)];
            starved = starved || m_sliceStarved[static_cast<size_t>(i)];
        }
        if (!starved &&
            taken * 1000 < m_limits.streamFloorBytesPerSecond * m_limits.streamFloorWindow.count()) {
            closeNow();
            return;
        }
    }
    m_sliceBytes[static_cast<size_t>(m_slice)] = 0;
    m_sliceStarved[static_cast<size_t>(m_slice)] = false;
}

void QuarryHTTPConnection::stopStream() {
    m_floorTimer.stop();
    if (m_stream)
        m_stream->setWaker({});
    m_stream.reset();
}

void QuarryHTTPConnection::finishSending() {
    reportDelivery(true, true);
    m_writeNotifier->setEnabled(false);
    stopStream();
    m_file.reset();
    m_out.clear();
    m_out.squeeze();
    m_body = QByteArray();
    // After a whole request with nothing of the client's unread, closing ends the answer gracefully at
    // once. Input arriving after the close would reset the connection and could destroy the answer in
    // flight: when some is waiting, or the answer came before the request was whole (the rest of a body
    // may be on its way), only the sending side ends and the client's close is waited for.
    char next = 0;
    const bool inputWaiting = ::recv(m_descriptor, &next, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    if (m_peerFinished || (m_requestWhole && !inputWaiting)) {
        closeNow();
        return;
    }
    ::shutdown(m_descriptor, SHUT_WR);
    m_phase = Phase::lingering;
    m_timer.start(m_limits.lingerTimeout);
}

void QuarryHTTPConnection::closeNow() {
    if (m_phase == Phase::closed)
        return;
    m_phase = Phase::closed;
    reportDelivery(true);
    m_timer.stop();
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    ::close(m_descriptor);
    m_descriptor = -1;
    m_file.reset();
    m_body = QByteArray();
    stopStream();
    m_buffer = QByteArray();
    m_out = QByteArray();
    account();
    deleteLater();
    Q_EMIT closed();
}

qint64 QuarryHTTPConnection::bufferedBytes() {
    return g_bufferedBytes.load();
}

void QuarryHTTPConnection::account() {
    const qint64 now = m_buffer.capacity() + m_out.capacity();
    g_bufferedBytes += now - m_accounted;
    m_accounted = now;
}

void QuarryHTTPConnection::noteWhole(const HTTPResponse& response) {
    m_delivery.entityTag = response.headers.value(QStringLiteral("ETag"));
    m_delivery.firstByte = 0;
    m_delivery.wholeLength = response.statusCode == 200 ? m_delivery.bytesPromised : -1;
    // "bytes <first>-<last>/<length>", as the range answers write it.
    const QString range = response.headers.value(QStringLiteral("Content-Range"));
    const qsizetype dash = range.indexOf(QLatin1Char('-'));
    const qsizetype slash = range.indexOf(QLatin1Char('/'));
    if (response.statusCode != 206 || !range.startsWith(QLatin1String("bytes ")) || dash < 0 || slash < dash)
        return;
    bool firstRead = false;
    bool lengthRead = false;
    const qint64 first = QStringView(range).mid(6, dash - 6).toLongLong(&firstRead);
    const qint64 length = QStringView(range).mid(slash + 1).toLongLong(&lengthRead);
    if (firstRead && lengthRead) {
        m_delivery.firstByte = first;
        m_delivery.wholeLength = length;
    }
}

void QuarryHTTPConnection::reportDelivery(bool ended, bool complete) {
    if (!m_delivered)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!ended && now - m_lastDeliveryReport < kDeliveryReportInterval) {
        if (!m_reportTimer.isActive())
            m_reportTimer.start(std::chrono::ceil<std::chrono::milliseconds>(kDeliveryReportInterval -
                                                                             (now - m_lastDeliveryReport)));
        return;
    }
    m_reportTimer.stop();
    m_lastDeliveryReport = now;
    m_delivery.duration = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_answerStarted);
    m_delivery.ended = ended;
    m_delivery.complete = complete;
    // The end is told once: whoever watches is let go with it.
    const auto watcher = ended ? std::exchange(m_delivered, {}) : m_delivered;
    watcher(m_delivery);
}
