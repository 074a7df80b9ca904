#pragma once
// How often a client that keeps the room's clock may ask the time. It asks 64 times 5 ms apart
// right after the welcome, then four times a second (a page also answers the web bridge's ping
// every 2 s): an allowance of 80 at once, refilled at 8 a second, answers every honest client in
// full, and one that asks back to back gets no more. Requests beyond it are dropped where they
// arrive: by the server for a PC, by the web bridge for a page.
#include <cstdint>

struct ClockAllowance {
    // The moment (monotonic nanoseconds) at which the allowance is whole again; one at or before
    // now, zero included, is whole. One number, and nothing to do between requests.
    int64_t wholeAtNanos;
};

// Takes one request from the allowance; false, and nothing taken, when none is left.
bool takeClockAllowance(ClockAllowance &allowance, int64_t nowNanos);
