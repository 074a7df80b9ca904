#pragma once
#include <cstdint>

// A millisecond count from the monotonic clock; it wraps at 2^32 like any 32-bit timer,
// so callers take differences of two readings, never the reading itself.
uint32_t platformMillis();

// Nanoseconds from now until platformMillis() reaches the given count; 0 once it has. Lets a
// loop sleep to the very start of a millisecond instead of to a whole number of them from now.
int64_t nanosUntilMillis(uint32_t millis);
