#pragma once

#include "core/mailbox.h"
#include "server/archives/archive_answer.h"
#include "server/archives/archive_writers.h"
#include "server/http/http_response.h"

#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

// The answer to a folder download: once a writer has its place and has laid out the folder, status and
// headers go out and the ZIP archive follows as it is written (QuarryArchiveAnswer). A folder that
// cannot be opened answers the server-error page instead. Dropping the response (the visitor left)
// stops the writer, or takes it out of the line.
// Threads: server thread; the writer runs on a thread of QuarryArchiveWriters and reports through the
// stream's waker.
class QuarryZIPArchiveResponse : public QuarryHTTPDeferredResponse {
public:
    QuarryZIPArchiveResponse(QuarryArchiveJob job, QPointer<QuarryArchiveWriters> writers, QString client,
                             QuarryArchiveLimits limits);
    ~QuarryZIPArchiveResponse() override;

    void start(std::function<void(HTTPResponse)> done) override;
    // Waiting for a writer is waiting; a visitor who leaves meanwhile wants no archive.
    void setTurnTaken(std::function<void()> taken) override { m_taken = std::move(taken); }
    bool endsWhenVisitorLeaves() const override { return true; }

    // The answer when the archive could not be begun.
    static HTTPResponse failure(const QString& failureName);

private:
    void evaluate();
    void finish(HTTPResponse response);

    QuarryArchiveJob m_job;
    QPointer<QuarryArchiveWriters> m_writers;
    QString m_client;
    QuarryArchiveLimits m_limits;
    std::shared_ptr<QuarryArchiveStream> m_stream;
    std::function<void()> m_taken;
    std::function<void(HTTPResponse)> m_done;
    // Receives the writer's news on the server thread; it dies with this response.
    QuarryMailbox* m_receiver = nullptr;
};
