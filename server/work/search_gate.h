#pragma once

#include "server/http/http_response.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

struct QuarrySearchGateState;

// Searches take turns. At most a few walk at once in the whole server; of the others, the visitor who had
// a turn longest ago goes first (then the first to come), so many visitors searching back to back do not
// keep one who searches now and then waiting behind them all. A visitor's new search of a share stops the
// one it has running there (which then answers with what it found) and starts only once that one has
// stopped, so typing ahead never stacks walks up. New is by the number the visitor's page gave the search
// (two searches sent at once on two connections may be read in either order): one arriving with a lower
// number than the visitor's newest is stopped at once instead. Without numbers, new is by arrival.
// Threads: admit and every response it gives live on the server thread; a turn may end on any thread.
class QuarrySearchGate {
public:
    // Held by the work of a search while it walks: the search counts as running until the last copy of
    // its turn is gone.
    using Turn = std::shared_ptr<const void>;
    using Superseded = std::shared_ptr<const std::atomic_bool>;
    // Makes the search's response once its turn has come (usually work offloaded to a pool, which keeps
    // the turn). `superseded` is set when a newer search with the same key arrives.
    using Begin = std::function<HTTPResponse(Turn turn, Superseded superseded)>;

    explicit QuarrySearchGate(int maxRunning);
    ~QuarrySearchGate();
    QuarrySearchGate(const QuarrySearchGate&) = delete;
    QuarrySearchGate& operator=(const QuarrySearchGate&) = delete;

    // A response that stands for begin's once the search's turn comes. `key` names whose search of what
    // it is (the visitor and the share); `number`, the order in which the visitor's page asked. A visitor
    // that leaves ends the response, waiting or not.
    HTTPResponse admit(const QString& key, Begin begin, std::optional<quint64> number = std::nullopt);

private:
    std::shared_ptr<QuarrySearchGateState> m_state;
};
