#include "server/media/decode_flights.h"

#include <QHash>

#include <algorithm>
#include <vector>

namespace {

class Follower;

// One making and the requests waiting for it.
struct Flight : std::enable_shared_from_this<Flight> {
    void join(Follower* follower);
    void leave(Follower* follower);
    void finish(const HTTPResponse& response);

    QString key;
    std::weak_ptr<QuarryDecodeFlights::Registry> registry;
    std::shared_ptr<QuarryHTTPDeferredResponse> making;
    std::vector<Follower*> followers;
    bool started = false;
    bool finished = false;
};

class Follower : public QuarryHTTPDeferredResponse {
public:
    explicit Follower(std::shared_ptr<Flight> flight)
        : m_flight(std::move(flight)) {}
    ~Follower() override { m_flight->leave(this); }

    void start(std::function<void(HTTPResponse)> done) override {
        m_done = std::move(done);
        m_flight->join(this);
    }
    // A visitor who leaves stops waiting; the making goes on while others wait for it.
    bool endsWhenVisitorLeaves() const override { return true; }

    void deliver(const HTTPResponse& response) {
        std::function<void(HTTPResponse)> done = std::move(m_done);
        m_done = nullptr;
        if (done)
            done(response);
    }

private:
    std::shared_ptr<Flight> m_flight;
    std::function<void(HTTPResponse)> m_done;
};

} // namespace

struct QuarryDecodeFlights::Registry {
    QHash<QString, std::shared_ptr<Flight>> flights;

    void forget(const Flight* flight) {
        const auto found = flights.find(flight->key);
        if (found != flights.end() && found->get() == flight)
            flights.erase(found);
    }
};

namespace {

void Flight::join(Follower* follower) {
    followers.push_back(follower);
    if (started)
        return;
    started = true;
    making->start([weak = weak_from_this()](HTTPResponse response) {
        if (const std::shared_ptr<Flight> flight = weak.lock())
            flight->finish(response);
    });
}

void Flight::leave(Follower* follower) {
    followers.erase(std::remove(followers.begin(), followers.end(), follower), followers.end());
    // The last one waiting has gone: the making is dropped with this flight, which cancels it.
    if (!finished && followers.empty()) {
        if (const auto flights = registry.lock())
            flights->forget(this);
    }
}

void Flight::finish(const HTTPResponse& response) {
    finished = true;
    if (const auto flights = registry.lock())
        flights->forget(this);
    // Taken out first: answering a follower may end its connection, and with it the follower.
    const std::vector<Follower*> waiting = std::move(followers);
    followers.clear();
    for (Follower* follower : waiting)
        follower->deliver(response);
}

} // namespace

QuarryDecodeFlights::QuarryDecodeFlights()
    : m_registry(std::make_shared<Registry>()) {}

QuarryDecodeFlights::~QuarryDecodeFlights() = default;

HTTPResponse QuarryDecodeFlights::answer(const QString& key, const std::function<HTTPResponse()>& make) {
    std::shared_ptr<Flight> flight = m_registry->flights.value(key);
    if (!flight) {
        HTTPResponse made = make();
        if (!made.deferred)
            return made;
        flight = std::make_shared<Flight>();
        flight->key = key;
        flight->registry = m_registry;
        flight->making = std::move(made.deferred);
        m_registry->flights.insert(key, flight);
    }
    return HTTPResponse::later(std::make_shared<Follower>(std::move(flight)));
}

qsizetype QuarryDecodeFlights::inFlight() const {
    return m_registry->flights.size();
}
