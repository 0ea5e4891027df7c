#pragma once

#include "server/http/http_response.h"
#include "server/work/work_pool.h"

#include <QString>

#include <memory>

struct QuarrySharedWorkState;

// Work that many may ask for at once (a large folder's listing). The same work asked for while it is
// waiting or running is done once, and everyone who asked gets its answer, the same bytes; a client runs
// a few at once, and the rest of its work waits its turn while other clients' goes ahead; work whose
// every asker has gone is dropped, and so cancelled.
// Threads: offload, the responses and their answers on the server thread; the work on the pool.
class QuarrySharedWork {
public:
    QuarrySharedWork(QuarryWorkPool* pool, int perClient);
    ~QuarrySharedWork();
    QuarrySharedWork(const QuarrySharedWork&) = delete;
    QuarrySharedWork& operator=(const QuarrySharedWork&) = delete;

    // A response that stands for the answer of the work under `key` (what makes two requests the same
    // work, and so their answers the same), of `client` (whose few at once it counts toward). The work
    // starts when the connection starts the response, unless the same work is under way already; a
    // visitor who leaves ends the response.
    HTTPResponse offload(const QString& key, const QString& client, QuarryWorkPool::Work work);

private:
    std::shared_ptr<QuarrySharedWorkState> m_state;
};
