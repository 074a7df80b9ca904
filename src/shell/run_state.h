#pragma once
// The process-wide record that the shell, the server and the client share.
#include <cstdint>
#include <plib/netSocket.h>

struct RunState {
    uint32_t startTime;        // platform millisecond timer at start-up
    netSocket *socket;         // the one datagram socket of the process (owned)
    uint8_t isServer;          // set when server mode begins
    int playbackActive;        // 1 unless the server waits for an activate datagram
    const char *midiPath;      // argument after "-s", not owned
    // Client side.
    uint8_t connected;
    int16_t ownId;
    netAddress serverAddress;  // all zero until a datagram arrives
    int32_t nextRetryTime;     // elapsedMs values
    int32_t inactivityDeadline;
};

extern RunState runState;

// Milliseconds since start-up, as a signed 32-bit difference of the wrapping timer.
int32_t elapsedMs();

// elapsedMs values wrap after 24.8 days, so moments are compared through their difference and
// moved forward in unsigned arithmetic, never directly.
int32_t msAfter(int32_t moment, int32_t ms);
// Milliseconds from now until the moment: negative once it has passed.
int32_t msUntil(int32_t moment, int32_t now);
