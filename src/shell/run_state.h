#pragma once
// The process-wide record that the shell, the server and the client share.
#include <plib/netSocket.h>
#include <cstdint>

struct RunState {
    uint32_t startTime;        // platform millisecond timer at start-up
    netSocket *socket;         // the one datagram socket of the process (owned)
    uint8_t isServer;          // set when server mode begins
    int playbackActive;        // 1 unless the server waits for an activate datagram
    const char *midiPath;      // argument after "-s", not owned
    int32_t leadMs;            // how long before their start notes go to clients that know the clock
    int webPort;               // where the room's page is served; 0: it is not
    const char *playlistPath;  // --playlist: songs after the first; nullptr: none
    const char *conductorKey;  // --conductor-key: the conductor's page's fixed key; nullptr: a random one
    int liveMode;              // --live: no song; the room plays what live players play, until stopped
    int32_t liveLeadMs;        // --live-lead: how long before they sound live notes go to clients that know the clock
    int rtpMidiPort;           // --rtp-midi: the RTP-MIDI sessions' control port, data on the next; 0: none
    // Client side.
    uint8_t connected;
    int16_t ownId;
    netAddress serverAddress;    // all zero until a datagram arrives; fixed by the first id
    int32_t nextRetryTime;       // an elapsedMs value
    int32_t inactivityDeadline;  // an uptimeMs value
    int protocolVersion;         // 1: the client plays as older ones do, notes on arrival
    int32_t latencyMs;           // the sound device's own delay, which timed tones start ahead by
    bool showClock;              // the room's clock is told on standard error
};

extern RunState runState;
