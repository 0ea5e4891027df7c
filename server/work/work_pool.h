#pragma once

#include "server/http/http_response.h"

#include <atomic>
#include <functional>
#include <memory>

struct QuarryWorkThreads;

// Work that takes CPU or disk time per request (listings, pages, thumbnails, searches) runs on a bounded
// pool of threads beside the server thread, so the server thread only reads, parses and writes and one
// slow answer never holds up another visitor. A job uses only what it captured (the snapshot its request
// arrived with) and hands its response back to the server thread as a queued call.
// Threads: jobs run on the pool's threads; offload, the answer and the end of a job's response happen on
// the server thread.
class QuarryWorkPool {
public:
    // Reads `cancelled` now and then when it may run long; it is set once nobody waits for the answer.
    using Work = std::function<HTTPResponse(const std::atomic_bool& cancelled)>;

    // At most `threads` jobs run at once; the others wait their turn in the order they came.
    explicit QuarryWorkPool(int threads);
    // Jobs not started yet are dropped; running ones are waited for.
    ~QuarryWorkPool();
    QuarryWorkPool(const QuarryWorkPool&) = delete;
    QuarryWorkPool& operator=(const QuarryWorkPool&) = delete;

    int maxThreads() const;

    // A response that stands for work's answer. The work starts when the connection starts the response
    // and is cancelled when the connection drops it. With endsWhenVisitorLeaves, a visitor that closes
    // its side of the connection while the work runs ends the connection, and so the work; without, a
    // visitor that only ends its sending direction still gets its answer.
    HTTPResponse offload(Work work, bool endsWhenVisitorLeaves = false);

private:
    std::unique_ptr<QuarryWorkThreads> m_threads;
};
