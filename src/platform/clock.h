#pragma once
#include <cstdint>

// A millisecond count from the monotonic clock; it wraps at 2^32 like any 32-bit timer,
// so callers take differences of two readings, never the reading itself.
uint32_t platformMillis();
