#include <sys/resource.h>

#include <climits>

#include "platform/descriptors.h"

namespace {

// Linux's own soft limit, taken when the limit cannot be read.
constexpr long USUAL_DESCRIPTOR_LIMIT = 1024;

}  // namespace

long raiseDescriptorLimit() {
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return USUAL_DESCRIPTOR_LIMIT;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur >= static_cast<rlim_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(limit.rlim_cur);
}
