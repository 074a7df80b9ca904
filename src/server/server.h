#pragma once
// The "-s" mode: the one loop that plays the song in time and serves the clients' datagrams.
#include <plib/netSocket.h>
#include <cstdint>

// Loads the song, binds the server port and plays. Returns only when the port cannot be bound;
// otherwise the run ends inside it, at the end of the song.
void runServerLoop();

// What the server does with one received datagram: register, activate or release. length is what
// arrived (0 or less: nothing did). Fields beyond the length read as zero. nowNanos is the monotonic
// clock's reading when it arrived.
void handleServerDatagram(const uint8_t *bytes, int length, const netAddress &sender, int64_t nowNanos);

// The song's clock: positions are signed milliseconds since the song began.
void startSongNow();
int32_t songPosition();
// Nanoseconds from now until the song reaches the position; 0 when it has.
int64_t nanosUntilSongPosition(int32_t position);
// The server's clock when the song reaches the position.
uint32_t serverMicrosAtSongPosition(int32_t position);
