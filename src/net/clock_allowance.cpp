#include "net/clock_allowance.h"

#include <algorithm>

#include "platform/clock.h"

namespace {

constexpr int64_t MOST_AT_ONCE = 80;
constexpr int64_t REFILL_NANOS = NANOS_PER_SECOND / 8;

}  // namespace

// Each request moves the moment of wholeness a refill later; one is left while that moment lies at
// most 79 refills ahead.
bool takeClockAllowance(ClockAllowance &allowance, int64_t nowNanos) {
    const int64_t wholeAt = std::max(allowance.wholeAtNanos, nowNanos);
    if (wholeAt - nowNanos > (MOST_AT_ONCE - 1) * REFILL_NANOS) return false;
    allowance.wholeAtNanos = wholeAt + REFILL_NANOS;
    return true;
}
