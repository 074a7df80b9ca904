#pragma once
// The server's view of its clients: 32 slots, the index being the client's id.
#include <plib/netSocket.h>
#include <cstdint>

constexpr int MAX_CLIENTS = 32;

struct ClientSlot {
    int inUse;
    netAddress address;
    int32_t busyUntil;  // song position at which the client's current tone ends
    int32_t noteEnd;    // scheduled end (start + duration) of the last note given
    uint32_t key;       // key of the last note given
    int givenNote;      // 0 until the first note is given: until then the client is idle
    int timed;          // the client knows the room's clock: its notes are sent ahead
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
// welcome after its id, and its slot keeps that.
void registerClient(const netAddress &sender, bool timed = false);

// Whether any client in the room knows the room's clock.
bool anyTimedClient();

// A clock request from a client that knows the room's clock is answered with the server's time
// in microseconds; from anyone else it is ignored.
void answerClockRequest(const uint8_t *request, const netAddress &sender, uint32_t serverMicros);

// A client's disconnect. Honoured only for a slot in use whose registered address and port are
// the sender's, so nobody can silence another client; anything else is ignored without a word.
void releaseClient(int id, const netAddress &sender);
