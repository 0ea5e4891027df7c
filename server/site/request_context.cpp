#include "server/site/request_context.h"

namespace QuarrySite {

HTTPResponse offloaded(const RequestContext& context, QuarryWorkPool::Work work, bool endsWhenVisitorLeaves) {
    if (context.work)
        return context.work->offload(std::move(work), endsWhenVisitorLeaves);
    const std::atomic_bool waiting{false};
    return work(waiting);
}

HTTPResponse answeringBusyAsJSON(HTTPResponse response) {
    static const auto busy = std::make_shared<const HTTPResponse>(HTTPResponse::busyJSON());
    if (response.deferred)
        response.whenBusy = busy;
    return response;
}

} // namespace QuarrySite
