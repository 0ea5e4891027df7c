#pragma once

#include "server/http/http_response.h"

#include <QString>

#include <functional>
#include <memory>

// One making at a time of each picture: a request for a picture that is being made joins that making
// and is answered from it, so twenty visitors asking at once for a photo's thumbnail cost one decode.
// The making is cancelled only once every request waiting for it has gone. Key a making by what it
// makes of which file (the thumbnail cache's key is one).
// Threads: server thread only; the making runs wherever its deferred answer runs it.
class QuarryDecodeFlights {
public:
    QuarryDecodeFlights();
    ~QuarryDecodeFlights();
    QuarryDecodeFlights(const QuarryDecodeFlights&) = delete;
    QuarryDecodeFlights& operator=(const QuarryDecodeFlights&) = delete;

    // The answer for key: joins the making of it in flight, or starts one with make(). An answer that
    // make() gives at once, not deferred, is returned as it is.
    HTTPResponse answer(const QString& key, const std::function<HTTPResponse()>& make);

    // Makings in flight.
    qsizetype inFlight() const;

    struct Registry;

private:
    // Shared with the waiting answers, which connections may hold after this object is gone.
    std::shared_ptr<Registry> m_registry;
};
