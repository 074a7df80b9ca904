#pragma once
// The server's view of its clients: 32 slots, the index being the client's id.
#include <plib/netSocket.h>
#include <cstdint>

#include "net/clock_allowance.h"

constexpr int MAX_CLIENTS = 32;

struct ClientSlot {
    int inUse;
    netAddress address;
    int32_t busyUntil;     // song position at which the client's current tone ends
    int32_t noteEnd;       // scheduled end (start + duration) of the last note given
    uint32_t key;          // key of the last note given
    int givenNote;         // 0 until the first note is given: until then the client is idle
    int heldLive;          // a live note holds it: the song gives it nothing, a silence does not reach it
    int timed;             // the client knows the room's clock: its notes are sent ahead
    uint8_t clockVersion;  // of its connect: 3 knows the concert's messages too
    // Only for a timed client, on the monotonic clock in nanoseconds:
    int askedTime;                  // a clock request has come, so the welcome arrived
    int64_t heardNanos;             // its registration, then its last clock request
    int64_t welcomedNanos;          // when the welcome was last sent
    ClockAllowance clockAllowance;  // how many clock requests it may still make at once
    // What a client of the concert's version last reported of itself; reported is 0 until it has.
    int reported;
    uint32_t roundTripMicros;
    int lateNotes;
    int missedNotes;
};

struct ClientTable {
    ClientSlot slots[MAX_CLIENTS];
};

extern ClientTable clientTable;

// Every slot free, every field zero.
void clearClientTable();

// A connect request: the lowest free slot becomes the sender's and the sender is told its id.
// A sender that holds a slot already (its answer was lost or late) is told that slot's id again:
// one socket is one client, playing one tone at a time. With every slot in use and none the
// sender's, the request is ignored. A client that knows the room's clock (timed) is also sent the
// welcome after its id, and its slot keeps that. clockVersion is its connect's version (0: an older
// client's connect). nowNanos is the monotonic clock's reading.
void registerClient(const netAddress &sender, uint8_t clockVersion, int64_t nowNanos);

// Whether any client in the room knows the room's clock.
bool anyTimedClient();

// A clock request from a client that knows the room's clock is answered with the server's time
// in microseconds, while its allowance lasts: 80 requests, refilled at 8 a second (its burst after
// the welcome is 64, then it asks 4 times a second). A request beyond it is dropped unanswered, and
// still counts as a sign of life. From anyone else the request is ignored.
void answerClockRequest(const uint8_t *request, const netAddress &sender, int64_t nowNanos);

// A client's disconnect. Honoured only for a slot in use whose registered address and port are
// the sender's, so nobody can silence another client; anything else is ignored without a word.
void releaseClient(int id, const netAddress &sender);

// A client that knows the room's clock asks the time 4 times a second for as long as it runs, so
// one that has asked nothing for 10 s since it registered or last asked is gone (killed, its PC
// off): its slot is freed as on its disconnect, so that it takes no more notes and keeps no lead.
// Until its first request its welcome is sent again once a second, as a lost welcome would leave
// it silent. Older clients never ask, and are kept until they leave.
void tendTimedClients(int64_t nowNanos);

// A client's report of its clock and notes, kept in its slot; from anyone else it is ignored.
void takeClientReport(const uint8_t *report, const netAddress &sender);

// Whether the client in the slot was given notes ahead that a silence does not take back: one that
// keeps the room's clock without knowing the concert.
bool keepsNotesGivenAhead(int id);

// Tells every client of the concert's version that the room is silenced (but for those a live note
// holds), or that the song ended with songsToCome still to come. Older clients are told nothing.
void silenceConcertClients();
void tellSongEnd(int songsToCome);

// Nanoseconds until tendTimedClients has something to do (0: now); -1 when no timed client is in.
int64_t nanosUntilTimedClientsDue(int64_t nowNanos);
