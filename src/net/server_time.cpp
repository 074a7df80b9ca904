#include "net/server_time.h"

#include <cstdint>
#include <limits>

#include "platform/clock.h"
#include "shell/run_state.h"

namespace {
int32_t songOrigin;  // the elapsedMs value at which the song began
}  // namespace

void startSongNow() {
    songOrigin = elapsedMs();
}

int32_t songPosition() {
    // The time from the origin until now, safe across the timer's wrap.
    return msUntil(elapsedMs(), songOrigin);
}

int64_t nanosUntilSongPosition(int32_t position) {
    if (static_cast<int64_t>(position) - songPosition() <= 0) return 0;
    uint32_t timerValue = runState.startTime + static_cast<uint32_t>(songOrigin) + static_cast<uint32_t>(position);
    return nanosUntilMillis(timerValue);
}

int32_t saturatingSum(int32_t a, int32_t b) {
    int64_t sum = static_cast<int64_t>(a) + b;
    if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}
