#include "platform/clock.h"

#include <limits>

namespace {
uint32_t programStart;  // platformMillis() at start-up
}  // namespace

uint32_t startClock() {
    programStart = platformMillis();
    return programStart;
}

int32_t elapsedMs() {
    return static_cast<int32_t>(platformMillis() - programStart);
}

int32_t msAfter(int32_t moment, int32_t ms) {
    return static_cast<int32_t>(static_cast<uint32_t>(moment) + static_cast<uint32_t>(ms));
}

int32_t msUntil(int32_t moment, int32_t now) {
    return static_cast<int32_t>(static_cast<uint32_t>(moment) - static_cast<uint32_t>(now));
}

int32_t saturatingSum(int32_t a, int32_t b) {
    int64_t sum = static_cast<int64_t>(a) + b;
    if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}

Deadline deadlineAfterMs(int milliseconds) {
    return {monotonicNanos() + static_cast<int64_t>(milliseconds) * NANOS_PER_MILLI};
}

void sleepUntil(Deadline deadline) {
    // Woken early, the sleep goes on to the same absolute deadline without drifting.
    while (!stopRequested()) {
        const int64_t left = deadline.nanos - monotonicNanos();
        if (left <= 0) return;
        sleepAtMost(left);
    }
}

int64_t monotonicNanosOf(int64_t bootMoment) {
    return bootMoment - bootNanos() + monotonicNanos();
}

int64_t nanosUntilElapsed(int32_t moment) {
    if (msUntil(moment, elapsedMs()) <= 0) return 0;
    return nanosUntilMillis(programStart + static_cast<uint32_t>(moment));
}
