#include "net/client_timing.h"

#include <algorithm>

#include "shell/run_state.h"

int clientIdleMs(int32_t now, bool connected, int32_t nextRetryTime, int32_t deadline) {
    int64_t idle = msUntil(deadline, now);
    if (!connected) idle = std::min<int64_t>(idle, int64_t{msUntil(nextRetryTime, now)} + 1);
    return static_cast<int>(std::max<int64_t>(idle, 0));
}
