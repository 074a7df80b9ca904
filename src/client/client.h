#pragma once
// The "-c" mode: joins a server by broadcast and plays the notes it sends, one tone at a time.
#include <cstdint>

// Returns when nothing has come from its server for a minute or the socket cannot be bound; its
// server's good-bye ends the run inside. After its first id it hears only the server that gave it.
void runClientLoop();

// Acts on one datagram from the server, told apart by word 0: an id is taken, a note is played
// and a good-bye ends the run; for a client of the concert's version, a song's end closes the
// song's count of late notes and a silence stops every tone; for a client of the live version, a note's
// end ends its tone. Anything else is ignored. The buffer holds
// CLIENT_RECEIVE_BUFFER bytes, those the datagram did not fill being zero.
void actOnServerDatagram(const uint8_t *buffer);

// Sends what the room's clock calls for once the server has welcomed the client, each when it is
// due: a clock request, while they have gone unanswered for 10 s the timed connect again to the
// own server, and once a second, to a server of the concert once the clock is known, the report. Returns the
// nanoseconds until the next is due, or -1 before the welcome.
int64_t keepClockTalkGoing();

// How long the client may wait for a datagram at `now` before something else is due: the next
// connect request (while not connected, due once the clock is strictly past the retry time) or
// the end of the run at the inactivity deadline. 0 when one of them is due already.
int clientIdleMs(int32_t now, bool connected, int32_t nextRetryTime, int32_t deadline);
