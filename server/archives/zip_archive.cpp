#include "server/archives/zip_archive.h"

QuarryZIPArchiveResponse::QuarryZIPArchiveResponse(QuarryArchiveJob job,
                                                   QPointer<QuarryArchiveWriters> writers, QString client,
                                                   QuarryArchiveLimits limits)
    : m_job(std::move(job))
    , m_writers(std::move(writers))
    , m_client(std::move(client))
    , m_limits(limits)
    , m_stream(std::make_shared<QuarryArchiveStream>()) {}

QuarryZIPArchiveResponse::~QuarryZIPArchiveResponse() {
    m_stream->cancel();
    m_stream->setWaker({});
    delete m_receiver;
}

HTTPResponse QuarryZIPArchiveResponse::failure(const QString& failureName) {
    return HTTPResponse::internalServerError(QStringLiteral("Could not create a ZIP for ") + failureName +
                                             QLatin1Char('.'));
}

void QuarryZIPArchiveResponse::start(std::function<void(HTTPResponse)> done) {
    m_done = std::move(done);
    m_receiver = new QuarryMailbox;
    QuarryMailbox* receiver = m_receiver;
    m_stream->setWaker([this, receiver] { receiver->post([this] { evaluate(); }); });
    if (!m_writers) {
        receiver->post([this] { finish(failure(m_job.failureName)); });
        return;
    }
    m_writers->submit(
        m_client, m_limits, m_stream,
        [job = m_job](QuarryArchiveStream& stream) { QuarryArchiveAnswer::run(job, stream); },
        [this] {
            // Only while this response holds the stream, which the writers hold weakly until then.
            std::function<void()> taken = std::move(m_taken);
            m_taken = nullptr;
            if (taken)
                taken();
        });
}

void QuarryZIPArchiveResponse::evaluate() {
    if (!m_done)
        return;
    const QuarryArchiveStream::Phase phase = m_stream->phase();
    if (m_stream->hasStarted()) {
        HTTPResponse response = m_stream->takeHead().value_or(failure(m_job.failureName));
        response.stream = m_stream;
        finish(std::move(response));
    } else if (phase == QuarryArchiveStream::Phase::finished) {
        // An answer without a body: a HEAD's headers, 304, 416, or a refused pick.
        finish(m_stream->takeHead().value_or(failure(m_job.failureName)));
    } else if (phase == QuarryArchiveStream::Phase::failed) {
        finish(failure(m_job.failureName));
    }
}

void QuarryZIPArchiveResponse::finish(HTTPResponse response) {
    // Taken out first: done may release this response.
    std::function<void(HTTPResponse)> done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(std::move(response));
}
