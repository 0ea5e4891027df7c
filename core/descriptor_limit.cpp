#include "core/descriptor_limit.h"

#include <sys/resource.h>

namespace QuarryDescriptorLimit {

long raiseToHardLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // An unlimited hard limit is refused by the kernel past its nr_open; the old soft limit stays then.
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0)
            return current();
    }
    return current();
}

long current() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur == RLIM_INFINITY)
        return 1L << 20;
    return static_cast<long>(limit.rlim_cur);
}

} // namespace QuarryDescriptorLimit
