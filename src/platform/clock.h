#pragma once
// Time and waiting: the program clock, its wrap-safe arithmetic, and every wait of the process.
// clock.cpp holds what any host shares; the host's own timer, sleeps and signals (and the one
// socket option that PLIB cannot set) are in one file per platform (clock_linux.cpp,
// clock_windows.cpp).
#include <cstdint>

constexpr int64_t NANOS_PER_SECOND = 1000000000;
constexpr int64_t NANOS_PER_MILLI = 1000000;

// ---- The program clock (clock.cpp) ----

// Reads the host's timer as the start of the run and returns it; elapsedMs counts from it.
uint32_t startClock();

// Milliseconds since startClock, as a signed 32-bit difference of the wrapping timer.
int32_t elapsedMs();

// elapsedMs values wrap after 24.8 days, so moments are compared through their difference and
// moved forward in unsigned arithmetic, never directly.
int32_t msAfter(int32_t moment, int32_t ms);
// Milliseconds from now until the moment: negative once it has passed.
int32_t msUntil(int32_t moment, int32_t now);

// A sum of song times that saturates instead of wrapping, so that a note of absurd length ends
// far in the future rather than in the past.
int32_t saturatingSum(int32_t a, int32_t b);

// Nanoseconds from now until elapsedMs reaches the moment; 0 once it has.
int64_t nanosUntilElapsed(int32_t moment);

// The moment on the monotonic clock at which bootNanos() reads the given nanoseconds, by the gap
// between the two clocks now (it grows only while the machine sleeps).
int64_t monotonicNanosOf(int64_t bootMoment);

// Milliseconds on a clock that goes on counting while the process is stopped or the machine
// sleeps, for limits that must hold however long a run was away; it wraps like elapsedMs.
int32_t uptimeMs();

// A moment on the host's monotonic clock, in nanoseconds.
struct Deadline {
    int64_t nanos;
};

// The moment at which something that starts now has lasted the given milliseconds.
Deadline deadlineAfterMs(int milliseconds);

// Sleeps without using the processor until the deadline has passed or a stop is requested;
// returns at once if either has happened.
void sleepUntil(Deadline deadline);

// ---- The host (clock_linux.cpp, clock_windows.cpp) ----

// A millisecond count from the host's monotonic timer; it wraps at 2^32 like any 32-bit timer,
// so callers take differences of two readings, never the reading itself.
uint32_t platformMillis();

// Nanoseconds from now until platformMillis() reaches the given count; 0 once it has. Lets a
// loop sleep to the very start of a millisecond instead of to a whole number of them from now.
int64_t nanosUntilMillis(uint32_t millis);

// Nanoseconds on the host's monotonic clock, which never wraps in a run.
int64_t monotonicNanos();

// Nanoseconds on a clock that goes on counting while the machine sleeps, which never wraps in a
// run: Linux's CLOCK_BOOTTIME; on Windows the same performance counter as monotonicNanos, which
// counts sleep and hibernation too. A client keeps the room's clock on it, so that a host that
// slept comes back still in step with its server, whose clock ran on meanwhile.
int64_t bootNanos();

// Sleeps for the nanoseconds, or less: a stop request, and on Linux any signal, ends it early.
void sleepAtMost(int64_t nanos);

// Sleeps until a datagram waits on the socket, the nanoseconds have passed (less than 0: no limit)
// or a stop is requested. The nanoseconds count on uptimeMs's clock: a wait that the process was
// stopped or the machine slept through ends as soon as it runs again.
void waitForSocket(int socketHandle, int64_t nanos);

// Ends waitForSocket's current wait, or the next one, at once; safe from any thread. Another
// thread that hands the waiting loop work (a command) calls it after handing it.
void wakeSocketWait();

// Sets the socket's broadcast option with a value of length 0, as a request to switch it off.
// Hosts refuse such a value, and the refusal is ignored: the option stays as it was.
void setEmptyBroadcastOption(int socketHandle);

// Asks the host to end the process's sleeps as close to their deadlines as it can.
void requestPreciseWakeups();

// From now on SIGINT, SIGTERM and SIGHUP (on Windows: the console's Ctrl+C, Ctrl+Break and close)
// only request a stop, which every wait sees at once, and output that nobody reads any more is
// dropped instead of ending the process. A second one, where the first could not be seen (a write
// to a stalled pipe), ends the process at once with its default action.
void watchStopSignals();

// Asks for a stop, as those signals do (their handlers call it); safe in a signal handler.
void requestStop();

// Whether a stop has been asked for.
bool stopRequested();

// While true, a stop also ends a blocking open or read at once (it fails as interrupted, and the
// caller looks at stopRequested). Otherwise such calls carry on after a stop, so that the program's
// own output is never cut short.
void letStopsInterruptAnything(bool anything);
