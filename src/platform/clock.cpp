#include "platform/clock.h"

#include <ctime>

namespace {
timespec monotonicNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

uint32_t millisOf(const timespec &time) {
    uint64_t ms = static_cast<uint64_t>(time.tv_sec) * 1000u + static_cast<uint64_t>(time.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}
}  // namespace

uint32_t platformMillis() {
    return millisOf(monotonicNow());
}

int64_t nanosUntilMillis(uint32_t millis) {
    timespec now = monotonicNow();
    int32_t ahead = static_cast<int32_t>(millis - millisOf(now));
    if (ahead <= 0) return 0;
    return static_cast<int64_t>(ahead) * 1000000 - now.tv_nsec % 1000000;
}
