#pragma once
// The room's clock as a client knows it: the server's clock, estimated from timestamped exchanges
// as an offset from this host's boot clock (see bootNanos) that drifts at a steady rate (two
// crystals never run alike). An exchange held up on the way (a busy link, a sleeping Wi-Fi card)
// says little of the offset, so the faster an exchange the more it counts. A step of either clock
// (a server suspended or started again) is followed within three fast exchanges.
#include <cstdint>

// The server's clock, in microseconds kept to 32 bits, at a moment of its monotonic clock.
uint32_t serverMicros(int64_t monotonicNanos);

// Forgets every exchange and every request sent.
void resetRoomClock();

// A clock request carrying the stamp left at sentNanos.
void recordClockRequest(uint32_t stamp, int64_t sentNanos);

// A clock reply, carrying the server's microsecond, came at receivedNanos. It counts only when it
// echoes the stamp of a recent request not yet answered; anything else (a stranger's forgery, a
// reply seen twice) is ignored. Returns whether it counted.
bool addClockReply(uint32_t echoedStamp, uint32_t serverMicros, int64_t receivedNanos);

// Whether any exchange has come back, so that the server's times can be placed.
bool roomClockKnown();

// The moment on this host's boot clock at which the server's clock reads serverMicros: of the
// readings that wrap to it, the one nearest the server's time at nowNanos. Only when known.
int64_t localNanosOf(uint32_t serverMicros, int64_t nowNanos);

struct RoomClockEstimate {
    int64_t offsetNanos;  // the server's clock less this host's, at the newest exchange
    double driftPpm;      // how much faster the server's clock runs
    int64_t shortestRoundTripNanos;
    int exchanges;  // those kept
};
RoomClockEstimate roomClockEstimate();
