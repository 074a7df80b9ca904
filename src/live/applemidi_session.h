#pragma once
// The sessions of players who join the room over RTP-MIDI with the AppleMIDI session exchange
// (macOS and iOS Network MIDI, rtpMIDI on Windows, rtpmidid on Linux). We only answer: a player's
// program invites us on our control port, then on our data port, keeps the clocks in step and
// sends its notes to the data port.
//
// Bytes in, bytes out: the caller reads its two sockets, hands each datagram here with the
// sender's address and the time, and sends what comes back. Addresses are plain numbers (an IPv4
// address and a port, in host order); times are the caller's monotonic microseconds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "live/rtp_midi_payload.h"

constexpr int LIVE_SESSIONS = 8;
constexpr int64_t LIVE_SILENCE_LIMIT_MICROS = 60 * 1000000LL;    // without a clock exchange
constexpr int64_t LIVE_FEEDBACK_INTERVAL_MICROS = 1000000;       // our receiver feedback, per session
constexpr size_t LIVE_NAME_LENGTH = 32;                          // our name as we give it, its end included
constexpr size_t LIVE_LONGEST_DATAGRAM = 16 + LIVE_NAME_LENGTH;  // an OK with our name

enum class LivePort { CONTROL, DATA };

struct LivePeer {
    uint32_t ip;
    uint16_t port;
};

struct LiveDatagram {
    LivePort port;  // which of our sockets sends it
    LivePeer to;
    size_t length;
    uint8_t bytes[LIVE_LONGEST_DATAGRAM];
};

struct LiveEvent {
    enum Kind { BEGAN, ENDED } kind;
    uint32_t session;
};

// The notes of one data packet of a session.
struct LiveNotes {
    uint32_t session;
    uint16_t sequence;
    bool lost;  // packets went missing before this one: the session's held notes may never end
    std::vector<RtpMidiNote> notes;
};

// What one call asks of the caller, in order within each list.
struct LiveOutput {
    std::vector<LiveDatagram> sends;
    std::vector<LiveEvent> events;
    std::vector<LiveNotes> notes;
};

struct LiveSession {
    bool inUse;
    bool began;  // both ports joined: the caller was told
    uint32_t id;
    uint32_t ssrc;
    uint32_t token;  // the initiator's, from its invitation
    uint32_t ip;
    uint16_t controlPort;
    uint16_t dataPort;
    int64_t heardMicros;  // when it last began or took part in a clock exchange
    uint32_t clockExchanges;
    bool sequenceKnown;
    uint16_t lastSequence;
    bool feedbackDue;  // a sequence number came since our last receiver feedback
    int64_t feedbackMicros;
};

struct LiveSessions {
    uint32_t ourSsrc;
    char ourName[LIVE_NAME_LENGTH];
    uint32_t nextId;
    LiveSession sessions[LIVE_SESSIONS];
};

// Empties the table; our SSRC and our name (cut to fit) go into every answer.
void startLiveSessions(LiveSessions &table, uint32_t ourSsrc, const char *ourName);

// One datagram that arrived on the given port: a session command, or on the data port an RTP-MIDI
// packet of a session. Anything else is dropped.
void handleLiveDatagram(LiveSessions &table, LivePort port, LivePeer from, const uint8_t *bytes, size_t length,
                        int64_t nowMicros, LiveOutput &out);

// Ends each session silent past the limit; those that began are told as ENDED events.
void tendLiveSessions(LiveSessions &table, int64_t nowMicros, LiveOutput &out);

// Ends every session, saying good-bye to its peer on each port it joined; those that began are
// told as ENDED events.
void endLiveSessions(LiveSessions &table, LiveOutput &out);

// Our receiver feedback: for each session that sent data since, at most once an interval, the last
// sequence number we took, to the session's control port.
void addLiveFeedback(LiveSessions &table, int64_t nowMicros, LiveOutput &out);
