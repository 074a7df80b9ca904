#pragma once
// The "-s" and "--live" modes: the one loop that plays the song and the live notes in time and
// serves the clients' datagrams.
#include <plib/netSocket.h>
#include <cstdint>

// Loads the song (a live room has none), binds the server port and plays. Returns only when the
// port cannot be bound; otherwise the run ends inside it, at the end of the song or at a stop.
void runServerLoop();

// What the server does with one received datagram: register, activate or release. length is what
// arrived (0 or less: nothing did). Fields beyond the length read as zero. nowNanos is the monotonic
// clock's reading when it arrived.
void handleServerDatagram(const uint8_t *bytes, int length, const netAddress &sender, int64_t nowNanos);

// A waiting song begins, as at the first activate.
void activateSong();
// How far ahead notes are given now: the lead while a client that knows the room's clock is in.
int32_t lookAheadMs();
// The run ends after the song in play, with its summary.
[[noreturn]] void endServerRun();
